#pragma once

#include "render/display/DisplayModel.h"
#include "ui/view/SlicePanel.h"
#include "ui/view/ViewController.h"

#include <QMainWindow>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class AppDelegate;
class QAction;
class QLabel;
class PlaneOutlines;
class QPushButton;
class QVMTKView;
class SaveImageCommand;
class ExportZarrCommand;
class TransferFunctionDock;

namespace Ui {
class MainWindow;
}

// The main window, built from MainWindow.ui. Constructing it loads the layout the
// way the application loop would: it creates the window's widgets and its content
// view controller, connects the controller's outlets and actions, lets the
// controller load its view, then runs windowDidLoad. It carries the window
// commands: the two slider toggles, the choice of colour lookup, New View, Reset View, the layout
// of the 3-D and slice views, the slices' options,
// Save Image and the cancelling of an import; it opens files dropped onto it, and its title
// names the volume on show and its size. When the file of a volume read in place changes
// or vanishes while it streams, the status line says so and offers to reload it.
class WindowController : public QMainWindow {
    Q_OBJECT

  public:
    // appDelegate (not owned, may be null) takes the import command when there is
    // no content view controller. makeDevice and budgets are handed to the view controller.
    explicit WindowController(AppDelegate* appDelegate = nullptr,
                              ViewController::DeviceFactory makeDevice = gpu::createSystemDefaultDevice,
                              const ViewerBudgets& budgets = {}, QWidget* parent = nullptr);
    ~WindowController() override;

    ViewController* contentViewController() const { return m_contentViewController.get(); }
    QVMTKView* view() const;

    void windowDidLoad();

    void cameraZrot();
    void intercept();
    // Select the grey or the default colour lookup of the display model.
    void clutBW();
    void clutDefault();
    // Sets the display window to a preset's; a preset the volume has none of (a CT
    // window for values that are not Hounsfield units) says why in the status line.
    void windowPreset(WindowPreset preset);
    void selectRenderMode(RenderMode mode);
    // Shows the volume on show, and every volume shown after it, in the preset's colour map
    // over its values (voxview --transfer-function); what to know goes to the status line.
    void setColourPreset(const ColourMap::Preset& preset);

    // Routes the import command to the content view controller, else to the
    // application delegate.
    void menuImportaction();
    // Imports a file named outside the import's panels (command line, drop) through the
    // same import: see ImportCommand::openFile.
    void openFile(const QString& path, const QString& dataPath = {});
    // File > Open Location…: asks for the http(s):// URL of an OME-Zarr store and opens it
    // through the same import.
    void openLocation();

    // Opens another view of the volume in a window of its own (ViewWindow), the main view's size.
    void newView();
    // Clears the pointer values and the wheel gesture, and puts camera, zoom, clip values
    // with their sliders and the display window back to where the volume opened.
    void resetView();
    void saveImage();
    SaveImageCommand& saveImageCommand() const { return *m_saveImage; }
    void exportZarr();
    ExportZarrCommand& exportZarrCommand() const { return *m_exportZarr; }
    // View › Transfer Function's dock; hidden until the menu shows it.
    TransferFunctionDock* transferFunctionDock() const { return m_transferFunction; }

    // The 3-D view alone, beside the slice views, or one slice view (View › Layout,
    // voxview --layout); the menu shows which.
    void setViewLayout(ViewLayout layout);
    // The slice views and their crosshair: null without a renderer.
    SlicePanel* slicePanel() const { return m_slices.get(); }

    // The permanent text of the status line: the volume's size and spacing, or
    // why the built-in sample could not be shown.
    QString statusText() const;

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void connectLayout();
    // The View menu's Window presets and Rendering modes.
    void connectWindowAndRenderingMenus();
    // The slice views, View › Layout and View › Slices.
    void connectSliceViews();
    void selectLookup(ColourLookup lookup);
    void applyTransferPreset(const TransferPresets::Entry& entry);
    void addTransferFunctionDock();
    void showVolumeStatus();
    // The checks of the lookup and toggle items follow what they stand for.
    void showCommandStates();
    void showVolume(const QString& name, const QString& description);
    void showLoading(bool loading);
    void cancelImport();
    // The volume on show cannot be read whole any more: its data file `fileName` changed.
    void showUnreadable(const QString& fileName);
    // The source of the volume on show answers again after a failure that passes.
    void showReadable();

    std::unique_ptr<Ui::MainWindow> m_ui;
    AppDelegate* m_appDelegate;
    std::unique_ptr<ViewController> m_contentViewController;
    ViewController* _vc = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_reloadButton = nullptr;
    std::unique_ptr<SaveImageCommand> m_saveImage;
    std::unique_ptr<ExportZarrCommand> m_exportZarr;
    TransferFunctionDock* m_transferFunction = nullptr;
    // The volume on show: its file name and the status line's account of it.
    QString m_volumeName;
    QString m_volumeDescription;
    // The address Open Location asked for last, without credentials.
    QString m_lastLocation;
    std::optional<ColourMap::Preset> m_colourPreset; // for every volume shown
    std::vector<std::pair<QAction*, WindowPreset>> m_presetActions;
    std::vector<std::pair<QAction*, ViewLayout>> m_layoutActions;
    std::unique_ptr<SlicePanel> m_slices;
    PlaneOutlines* m_planeOutlines = nullptr; // a child of the 3-D view
};
