#pragma once

#include "render/display/ColourMap.h"
#include "ui/import/FilePicker.h"

#include <QDockWidget>
#include <memory>
#include <optional>

class HistogramLoader;
class QComboBox;
class QLabel;
class QPushButton;
class TransferFunctionEditor;
class ViewController;

// View › Transfer Function: the opacity curve of the colour map on show over the histogram
// of the volume's values (TransferFunctionEditor), the value under the pointer, a choice of
// the built-in colour maps and of the View menu's presets, and the loading and saving of a
// preset as a ParaView JSON file. Edits go to the display model, which every view shares;
// the renderer then uploads the colour map's table alone.
class TransferFunctionDock : public QDockWidget {
    Q_OBJECT

  public:
    TransferFunctionDock(ViewController& controller, QWidget* parent = nullptr);
    ~TransferFunctionDock() override;

    TransferFunctionEditor* editor() const { return m_editor; }
    // The panels Load and Save open (file dialogs unless set).
    void setFilePicker(std::unique_ptr<FilePicker> picker) { m_filePicker = std::move(picker); }

    // The renderer's volume was replaced: its histogram is counted again, at once if the
    // dock shows, else when it is next shown (a hidden dock costs an import nothing).
    void showVolume();
    // Shows the volume in the preset read from `path`; what to tell the user.
    QString loadPreset(const QString& path);
    // Writes the map on show, over the window's values, to `path`; what to tell the user.
    QString savePreset(const QString& path);

  signals:
    // For the status line: a refused preset's reason, a notice, a saved file.
    void message(const QString& text);
    // The model's colour map was replaced from here.
    void colourMapChosen();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void connectModel();
    void countHistogram();
    void showMap();
    void showWindow();
    void chooseColourMap(int index);
    void choosePreset(int index);
    void applyCurve(const std::vector<ColourMap::OpacityPoint>& points);
    void askAndLoad();
    void askAndSave();
    FilePicker& filePicker();
    // The window's floor and top in the file's units as the window labels give them, or,
    // with `presetUnits`, as presets speak them (Hounsfield units for the built-in sample).
    std::pair<double, double> windowValues(bool presetUnits) const;

    ViewController& m_controller;
    TransferFunctionEditor* m_editor;
    QLabel* m_valueLabel;
    QComboBox* m_colourMaps;
    QComboBox* m_presets;
    QPushButton* m_load;
    QPushButton* m_save;
    HistogramLoader* m_histograms;
    std::unique_ptr<FilePicker> m_filePicker;
    bool m_histogramWanted = false; // the volume on show has not been counted yet
    bool m_applying = false;        // the model's echo of an edit made here
};
