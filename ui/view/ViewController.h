#pragma once

#include "render/display/TransferPresets.h"
#include "render/display/WindowPresets.h"
#include "render/gpu/Gpu.h"
#include "ui/window/ViewerBudgets.h"

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QSlider>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ImportCommand;
class QVMTKView;
class QVRenderer;

// The controller of the main window's content. When its view has loaded it wires
// device, view and renderer together and shows the renderer's window width and
// level in two labels; seven sliders write the clip values (intercepts) and the z
// rotation straight into the renderer, and two toggles show and hide them.
//
// The outlets are weak: the controls belong to the window, and a control that is
// gone (or was never connected) reads as null, which makes every operation on it
// do nothing and reading its position yield 0.
class ViewController : public QObject {
    Q_OBJECT

  public:
    using DeviceFactory = std::function<std::shared_ptr<gpu::Device>()>;

    // makeDevice creates the GPU device in viewDidLoad: the system's default
    // device, or another backend's in tests. The renderer and the imports keep within
    // `budgets`.
    explicit ViewController(QObject* parent = nullptr,
                            DeviceFactory makeDevice = gpu::createSystemDefaultDevice,
                            const ViewerBudgets& budgets = {});
    ~ViewController() override;

    // The root view, handed over by the window layout before viewDidLoad.
    void setView(QVMTKView* view);
    QVMTKView* view() const;
    const ViewerBudgets& budgets() const { return m_budgets; }

    // Runs once, after the layout has set the view and the outlets: gives the view
    // a device, creates the renderer for it, tells it the drawable size, observes
    // its "wl" and "ww", makes it the view's delegate and styles the labels.
    void viewDidLoad();

    // Called synchronously from inside the renderer's setWw/setWl.
    void observeValueForKeyPath(const QString& keyPath);

    void showInterceptSlider();
    void showZrotSlider();

    // Moves the seven sliders to the positions of the renderer's reset clip values and
    // rotation (upper clips 1.0, lower clips 0, no z rotation), as setIntValue does:
    // without running their actions, since the renderer already holds those values.
    void resetSliders();

    // Sets the renderer's window to the preset's through setWw / setWl, so the labels
    // follow; nothing, and the reason, when the volume on show has no such window.
    std::optional<QString> applyWindowPreset(WindowPreset preset);
    // Shows the volume in the preset's colour map, its window over the preset's values (over
    // the window in force where they are a normalised range); what the user should know
    // (values outside the volume's range, a stretched preset, or why no window fits them), if
    // anything.
    std::optional<QString> applyColourPreset(const ColourMap::Preset& preset);
    // One of the View menu's presets (TransferPresets) placed on the volume's values and
    // applied; what the user should know, if anything, as applyColourPreset, or why the
    // volume has no such preset.
    std::optional<QString> applyTransferPreset(const TransferPresets::Entry& entry);

    // Imports an NRRD volume (see ImportCommand).
    void menuImportaction();
    ImportCommand& importCommand() const { return *m_import; }

    // Each reads its own slider (not the sender) and writes one renderer property.
    void zBtmslideraction();
    void yBtmslideraction();
    void xBtmslideraction();
    void zrotslideraction();
    void zslideraction();
    void yslideraction();
    void xslideraction();

    QVRenderer* renderer() const { return m_renderer.get(); }

    bool showIntercept() const { return m_showIntercept; }
    void setShowIntercept(bool shown) { m_showIntercept = shown; }
    bool showZrot() const { return m_showZrot; }
    void setShowZrot(bool shown) { m_showZrot = shown; }

    // Outlets, set by the window layout.
    QPointer<QSlider> zrotslider;
    QPointer<QSlider> yslider;
    QPointer<QSlider> xslider;
    QPointer<QSlider> zslider;
    QPointer<QSlider> xbtmslider;
    QPointer<QSlider> ybtmslider;
    QPointer<QSlider> zbtmslider;
    QPointer<QLabel> wwLabel;
    QPointer<QLabel> wlLabel;

    // A window value in samples as the labels show it, in the file's units:
    // sample * scale + offset, with the decimals a scale other than 1 needs; huge values
    // with an exponent, values beyond the largest double as ∞. Never a wrapped integer.
    static QString fileValue(std::int64_t sample, double scale, double offset);

  private:
    void styleLabel(QLabel* label, const QString& text) const;

    DeviceFactory m_makeDevice;
    ViewerBudgets m_budgets;
    QPointer<QVMTKView> _view;
    bool m_showIntercept = false;
    bool m_showZrot = false;
    std::unique_ptr<QVRenderer> m_renderer;
    // After the renderer: goes first, so no import is still handing it a volume.
    std::unique_ptr<ImportCommand> m_import;
};
