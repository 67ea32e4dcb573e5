#include "ui/transfer/TransferFunctionDock.h"

#include "render/QVRenderer.h"
#include "render/display/TransferPresets.h"
#include "ui/import/DialogFilePicker.h"
#include "ui/transfer/HistogramLoader.h"
#include "ui/transfer/TransferFunctionEditor.h"
#include "ui/view/ViewController.h"

#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

namespace {

const QString kPresetFilter = QStringLiteral("ParaView colour presets (*.json)");
constexpr int kValueDigits = 6;

} // namespace

TransferFunctionDock::TransferFunctionDock(ViewController& controller, QWidget* parent)
    : QDockWidget(tr("Transfer Function"), parent), m_controller(controller),
      m_editor(new TransferFunctionEditor), m_valueLabel(new QLabel), m_colourMaps(new QComboBox),
      m_presets(new QComboBox), m_load(new QPushButton(tr("Load…"))), m_save(new QPushButton(tr("Save…"))),
      m_histograms(new HistogramLoader(this)) {
    setObjectName(QStringLiteral("transferFunctionDock"));
    setAccessibleName(tr("Transfer function"));
    m_editor->setObjectName(QStringLiteral("opacityCurve"));

    m_valueLabel->setObjectName(QStringLiteral("pointerValueLabel"));
    m_valueLabel->setAccessibleName(tr("Value under the pointer"));
    m_valueLabel->setAccessibleDescription(tr("The volume's value under the pointer, in the file's units"));
    m_colourMaps->setObjectName(QStringLiteral("colourMapCombo"));
    m_colourMaps->setAccessibleName(tr("Colour map"));
    m_colourMaps->setAccessibleDescription(tr("The colours across the display window; the curve is kept"));
    m_colourMaps->setPlaceholderText(tr("Preset's colours"));
    for (const ColourMap& map : ColourMap::builtIns()) {
        m_colourMaps->addItem(map.name());
    }
    m_presets->setObjectName(QStringLiteral("presetCombo"));
    m_presets->setAccessibleName(tr("Preset"));
    m_presets->setAccessibleDescription(tr("Colour map, opacity curve and window at once"));
    m_presets->setPlaceholderText(tr("Presets"));
    for (const TransferPresets::Entry& entry : TransferPresets::all()) {
        m_presets->addItem(entry.name);
    }
    m_presets->setCurrentIndex(-1);
    m_load->setObjectName(QStringLiteral("loadPresetButton"));
    m_load->setAccessibleName(tr("Load preset"));
    m_load->setAccessibleDescription(tr("Read a colour preset from a ParaView JSON file"));
    m_save->setObjectName(QStringLiteral("savePresetButton"));
    m_save->setAccessibleName(tr("Save preset"));
    m_save->setAccessibleDescription(
        tr("Write the colour map and curve over the window's values to a ParaView JSON file"));

    auto* choices = new QHBoxLayout;
    choices->addWidget(m_colourMaps, 1);
    choices->addWidget(m_presets, 1);
    auto* files = new QHBoxLayout;
    files->addWidget(m_valueLabel, 1);
    files->addWidget(m_load);
    files->addWidget(m_save);
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(m_editor, 1);
    layout->addLayout(choices);
    layout->addLayout(files);
    setWidget(content);

    connect(m_editor, &TransferFunctionEditor::pointsEdited, this, &TransferFunctionDock::applyCurve);
    connect(m_editor, &TransferFunctionEditor::pointerValue, m_valueLabel, [this](double value) {
        m_valueLabel->setText(tr("Value: %1").arg(value, 0, 'g', kValueDigits));
    });
    connect(m_editor, &TransferFunctionEditor::pointerLeft, m_valueLabel, &QLabel::clear);
    connect(m_colourMaps, &QComboBox::activated, this, &TransferFunctionDock::chooseColourMap);
    connect(m_presets, &QComboBox::activated, this, &TransferFunctionDock::choosePreset);
    connect(m_load, &QPushButton::clicked, this, &TransferFunctionDock::askAndLoad);
    connect(m_save, &QPushButton::clicked, this, &TransferFunctionDock::askAndSave);
    connect(m_histograms, &HistogramLoader::counted, this,
            [this](std::shared_ptr<const TexelHistogram> counted) {
                const QVRenderer* renderer = m_controller.renderer();
                const VolumeState volume = renderer->volumeState();
                m_editor->setHistogram(std::move(counted),
                                       {volume.sampleOffset, volume.valueMap.scale, volume.valueMap.offset});
            });
    connectModel();
    if (m_controller.renderer()) {
        showMap();
        showWindow();
    }
}

TransferFunctionDock::~TransferFunctionDock() = default;

void TransferFunctionDock::connectModel() {
    QVRenderer* renderer = m_controller.renderer();
    if (!renderer) {
        setEnabled(false);
        return;
    }
    DisplayModel& model = renderer->displayModel();
    connect(&model, &DisplayModel::lookupChanged, this, [this] {
        if (!m_applying) {
            showMap();
        }
    });
    connect(&model, &DisplayModel::windowChanged, this, &TransferFunctionDock::showWindow);
}

void TransferFunctionDock::showVolume() {
    const QVRenderer* renderer = m_controller.renderer();
    if (!renderer) {
        return;
    }
    m_editor->setHistogram(nullptr, {});
    m_histogramWanted = true;
    if (isVisible()) {
        countHistogram();
    }
    showMap();
    showWindow();
}

void TransferFunctionDock::showEvent(QShowEvent* event) {
    QDockWidget::showEvent(event);
    if (m_histogramWanted) {
        countHistogram();
    }
}

void TransferFunctionDock::countHistogram() {
    const VolumeState volume = m_controller.renderer()->volumeState();
    m_histogramWanted = false;
    m_histograms->load(volume.source, {volume.width, volume.height, volume.depth});
}

void TransferFunctionDock::showMap() {
    const ColourMap& map = m_controller.renderer()->displayModel().colourMap();
    m_editor->setMap(map);
    m_colourMaps->setCurrentIndex(m_colourMaps->findText(map.name()));
}

void TransferFunctionDock::showWindow() {
    const auto [floor, top] = windowValues(false);
    m_editor->setWindow(floor, top);
}

std::pair<double, double> TransferFunctionDock::windowValues(bool presetUnits) const {
    const QVRenderer& renderer = *m_controller.renderer();
    const VolumeState volume = renderer.volumeState();
    const double scale = presetUnits ? volume.valueScale : volume.valueMap.scale;
    const double offset = presetUnits ? volume.valueOffset : volume.valueMap.offset;
    // The window's edges as the vertex stage places them, in samples.
    const double floor = static_cast<double>(renderer.wl()) - 0.5 * static_cast<double>(renderer.ww());
    const double top = floor + static_cast<double>(renderer.ww());
    return {floor * scale + offset, top * scale + offset};
}

void TransferFunctionDock::applyCurve(const std::vector<ColourMap::OpacityPoint>& points) {
    DisplayModel& model = m_controller.renderer()->displayModel();
    const ColourMap& shown = model.colourMap();
    m_applying = true;
    model.setColourMap(shown.withOpacity(points));
    m_applying = false;
    emit colourMapChosen();
}

void TransferFunctionDock::chooseColourMap(int index) {
    if (index < 0 || index >= static_cast<int>(ColourMap::builtIns().size())) {
        return;
    }
    DisplayModel& model = m_controller.renderer()->displayModel();
    const ColourMap& chosen = ColourMap::builtIns()[static_cast<std::size_t>(index)];
    if (model.colourMap().hasOpacity()) {
        model.setColourMap(chosen.withOpacity(model.colourMap().opacity()));
    } else if (&chosen == &ColourMap::warmDefault()) {
        model.setLookup(ColourLookup::Default);
    } else if (&chosen == &ColourMap::blackAndWhite()) {
        model.setLookup(ColourLookup::BlackAndWhite);
    } else {
        model.setColourMap(chosen);
    }
    emit colourMapChosen();
}

void TransferFunctionDock::choosePreset(int index) {
    if (index >= 0 && index < static_cast<int>(TransferPresets::all().size())) {
        if (const std::optional<QString> notice =
                m_controller.applyTransferPreset(TransferPresets::all()[static_cast<std::size_t>(index)])) {
            emit message(*notice);
        }
        emit colourMapChosen();
    }
    m_presets->setCurrentIndex(-1);
}

QString TransferFunctionDock::loadPreset(const QString& path) {
    const auto read = ColourMap::readParaViewPreset(path);
    if (const QString* reason = std::get_if<QString>(&read)) {
        return tr("Preset refused: %1").arg(*reason);
    }
    const auto& preset = std::get<ColourMap::Preset>(read);
    const std::optional<QString> notice = m_controller.applyColourPreset(preset);
    emit colourMapChosen();
    return notice ? *notice : tr("Preset %1 shown").arg(preset.map.name());
}

QString TransferFunctionDock::savePreset(const QString& path) {
    const auto [low, high] = windowValues(true);
    const ColourMap::Preset preset{m_controller.renderer()->displayModel().colourMap(), low, high};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(ColourMap::toParaViewPreset(preset)) < 0 ||
        !file.commit()) {
        return tr("The preset could not be saved to %1: %2").arg(path, file.errorString());
    }
    return tr("Preset saved to %1").arg(path);
}

FilePicker& TransferFunctionDock::filePicker() {
    if (!m_filePicker) {
        m_filePicker = std::make_unique<DialogFilePicker>(window());
    }
    return *m_filePicker;
}

void TransferFunctionDock::askAndLoad() {
    const std::optional<QString> path =
        filePicker().openFile({tr("Load Colour Preset"), {kPresetFilter}, 0, QDir::homePath(), {}});
    if (path && !path->isEmpty()) {
        emit message(loadPreset(*path));
    }
}

void TransferFunctionDock::askAndSave() {
    const QString name = m_controller.renderer()->displayModel().colourMap().name();
    const std::optional<QString> path =
        filePicker().saveFile({tr("Save Colour Preset"),
                               {kPresetFilter},
                               0,
                               QDir::homePath(),
                               QDir::home().filePath(name + QStringLiteral(".json"))});
    if (path && !path->isEmpty()) {
        emit message(savePreset(*path));
    }
}
