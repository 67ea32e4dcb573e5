// Index of this file: building the window from MainWindow.ui and wiring its menus
// (connectLayout, connectWindowAndRenderingMenus, windowDidLoad); the slider toggles and the
// colour lookups (cameraZrot, intercept, clutBW, clutDefault, selectLookup, showCommandStates);
// window presets and render modes (windowPreset, selectRenderMode); File and View commands
// (menuImportaction, openFile, openLocation, newView, resetView, saveImage, cancelImport, drag and drop); the
// status line (showUnreadable, showVolume, showLoading, statusText, showVolumeStatus).

#include "ui/window/WindowController.h"

#include "render/QVRenderer.h"
#include "render/display/TransferPresets.h"
#include "ui/import/ImportCommand.h"
#include "ui/transfer/TransferFunctionDock.h"
#include "ui/view/PlaneOutlines.h"
#include "ui/view/QVMTKView.h"
#include "ui/view/ViewWindow.h"
#include "ui/window/AppDelegate.h"
#include "ui/window/ExportZarrCommand.h"
#include "ui/window/SaveImageCommand.h"
#include "ui/window/VolumeStatus.h"
#include "ui_MainWindow.h"
#include "volume/core/Bundle.h"
#include "volume/core/VolumeData.h"
#include "volume/http/HttpLocation.h"

#include <QActionGroup>
#include <QColor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMimeData>
#include <QPalette>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <ranges>

namespace {

// A dark grey, slightly translucent window behind the view.
constexpr float kBackgroundGrey = 0.4f;
constexpr float kBackgroundAlpha = 0.9f;
// Status text over that grey: 5 : 1 contrast, above the 4.5 : 1 that body text needs.
constexpr float kStatusTextGrey = 0.95f;

const QString kApplicationName = QStringLiteral("voxview");

// The first local file or web store among dropped URLs; empty when there is none.
QString droppedFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) {
        return {};
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            return url.toLocalFile();
        }
        const QString location = url.toString(QUrl::FullyEncoded);
        if (HttpLocation::isHttpUrl(location)) {
            return location;
        }
    }
    return {};
}

// How long a refused preset's reason stays in the status line.
constexpr int kRefusalMessageMs = 5000;
// The View menu's ambient light besides the usual share: dim for strong relief, bright to
// see into the shadows.
constexpr float kDimAmbient = 0.1f;
constexpr float kBrightAmbient = 0.5f;
// The slab thicknesses View › Slices offers; 0 is a single slice.
constexpr double kSlabMillimetres[] = {0.0, 2.0, 5.0, 10.0, 20.0, 50.0};

} // namespace

WindowController::WindowController(AppDelegate* appDelegate, ViewController::DeviceFactory makeDevice,
                                   const ViewerBudgets& budgets, QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>()), m_appDelegate(appDelegate),
      m_contentViewController(std::make_unique<ViewController>(nullptr, std::move(makeDevice), budgets)),
      m_saveImage(std::make_unique<SaveImageCommand>(*m_contentViewController)),
      m_exportZarr(std::make_unique<ExportZarrCommand>(*m_contentViewController)) {
    m_ui->setupUi(this);
    setAcceptDrops(true);
    connectLayout();
    m_contentViewController->viewDidLoad();
    windowDidLoad();
    connectSliceViews();
    addTransferFunctionDock();
    showVolumeStatus();
}

WindowController::~WindowController() {
    // Before the layout and the controller it reads go: the dock tells its hiding as it is
    // deleted, and the menu item it unchecks lives in m_ui.
    delete m_transferFunction;
}

QVMTKView* WindowController::view() const {
    return m_ui->view;
}

void WindowController::connectLayout() {
    ViewController* vc = m_contentViewController.get();
    vc->setView(m_ui->view);
    vc->zrotslider = m_ui->zrotslider;
    vc->yslider = m_ui->yslider;
    vc->xslider = m_ui->xslider;
    vc->zslider = m_ui->zslider;
    vc->xbtmslider = m_ui->xbtmslider;
    vc->ybtmslider = m_ui->ybtmslider;
    vc->zbtmslider = m_ui->zbtmslider;
    vc->wwLabel = m_ui->wwLabel;
    vc->wlLabel = m_ui->wlLabel;

    // Sliders send while they move, so a cut follows the handle.
    connect(m_ui->xslider, &QSlider::valueChanged, vc, &ViewController::xslideraction);
    connect(m_ui->yslider, &QSlider::valueChanged, vc, &ViewController::yslideraction);
    connect(m_ui->zslider, &QSlider::valueChanged, vc, &ViewController::zslideraction);
    connect(m_ui->xbtmslider, &QSlider::valueChanged, vc, &ViewController::xBtmslideraction);
    connect(m_ui->ybtmslider, &QSlider::valueChanged, vc, &ViewController::yBtmslideraction);
    connect(m_ui->zbtmslider, &QSlider::valueChanged, vc, &ViewController::zBtmslideraction);
    connect(m_ui->zrotslider, &QSlider::valueChanged, vc, &ViewController::zrotslideraction);

    // One lookup at a time, and the menu shows which.
    auto* lookups = new QActionGroup(this);
    lookups->setExclusive(true);
    lookups->addAction(m_ui->actionClutBW);
    lookups->addAction(m_ui->actionClutDefault);
    // The other built-in colour maps, past the two lookups.
    for (const ColourMap& map : ColourMap::builtIns() | std::views::drop(2)) {
        QAction* action = m_ui->menuColourMaps->addAction(map.name());
        action->setCheckable(true);
        lookups->addAction(action);
        connect(action, &QAction::triggered, this, [this, &map] {
            if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
                renderer->displayModel().setColourMap(map);
            }
            showCommandStates();
        });
    }

    connect(m_ui->actionImport, &QAction::triggered, this, &WindowController::menuImportaction);
    connect(m_ui->actionOpenLocation, &QAction::triggered, this, &WindowController::openLocation);
    connect(m_ui->actionCancelImport, &QAction::triggered, this, &WindowController::cancelImport);
    connect(m_ui->actionSaveImage, &QAction::triggered, this, &WindowController::saveImage);
    connect(m_ui->actionExportZarr, &QAction::triggered, this, &WindowController::exportZarr);
    connect(m_ui->actionNewView, &QAction::triggered, this, &WindowController::newView);
    connect(m_ui->actionResetView, &QAction::triggered, this, &WindowController::resetView);
    connect(m_ui->actionIntercept, &QAction::triggered, this, &WindowController::intercept);
    connect(m_ui->actionZrot, &QAction::triggered, this, &WindowController::cameraZrot);
    connect(m_ui->actionClutBW, &QAction::triggered, this, &WindowController::clutBW);
    connect(m_ui->actionClutDefault, &QAction::triggered, this, &WindowController::clutDefault);
    connectWindowAndRenderingMenus();
}

void WindowController::connectWindowAndRenderingMenus() {
    m_presetActions = {
        {m_ui->actionWindowStartup, WindowPreset::Startup},
        {m_ui->actionWindowImport, WindowPreset::Import},
        {m_ui->actionWindowAuto, WindowPreset::Auto},
        {m_ui->actionWindowFullRange, WindowPreset::FullRange},
        {m_ui->actionWindowFile, WindowPreset::File},
        {m_ui->actionWindowSoftTissue, WindowPreset::SoftTissue},
        {m_ui->actionWindowBone, WindowPreset::Bone},
        {m_ui->actionWindowLung, WindowPreset::Lung},
        {m_ui->actionWindowBrain, WindowPreset::Brain},
    };
    for (const auto& [action, preset] : m_presetActions) {
        connect(action, &QAction::triggered, this, [this, preset = preset] { windowPreset(preset); });
    }
    // The open menu offers only the presets the volume on show has; while it is closed
    // every shortcut stays live and a preset without a window says why when used.
    connect(m_ui->menuWindowPresets, &QMenu::aboutToShow, this, [this] {
        QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
        const QVRenderer::VolumeState volume = renderer ? renderer->volumeState() : QVRenderer::VolumeState{};
        for (const auto& [action, preset] : m_presetActions) {
            action->setEnabled(std::holds_alternative<WindowPresets::SampleWindow>(
                WindowPresets::windowFor(preset, volume)));
        }
    });
    connect(m_ui->menuWindowPresets, &QMenu::aboutToHide, this, [this] {
        for (const auto& entry : m_presetActions) {
            entry.first->setEnabled(true);
        }
    });

    auto* modes = new QActionGroup(this);
    const std::pair<QAction*, RenderMode> modeActions[] = {
        {m_ui->actionRenderComposite, RenderMode::Composite},
        {m_ui->actionRenderMip, RenderMode::Mip},
        {m_ui->actionRenderMinip, RenderMode::Minip},
        {m_ui->actionRenderAverage, RenderMode::Average},
    };
    for (const auto& [action, mode] : modeActions) {
        modes->addAction(action);
        connect(action, &QAction::triggered, this, [this, mode = mode] { selectRenderMode(mode); });
    }

    // Colour map, opacity and window at once, for what users most often look for.
    for (const TransferPresets::Entry& entry : TransferPresets::all()) {
        connect(m_ui->menuPresets->addAction(entry.name), &QAction::triggered, this,
                [this, &entry] { applyTransferPreset(entry); });
    }

    // The main view's lighting: lit or not, and how much light surfaces facing away keep.
    auto* ambients = new QActionGroup(this);
    const std::pair<QAction*, float> ambientActions[] = {
        {m_ui->actionAmbientDim, kDimAmbient},
        {m_ui->actionAmbientNormal, shading::kAmbient},
        {m_ui->actionAmbientBright, kBrightAmbient},
    };
    for (const auto& [action, ambient] : ambientActions) {
        ambients->addAction(action);
        connect(action, &QAction::triggered, this, [this, ambient = ambient] {
            if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
                renderer->setLighting({renderer->lighting().lit, ambient});
            }
        });
    }
    connect(m_ui->actionLitSurfaces, &QAction::toggled, this, [this](bool lit) {
        if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
            renderer->setLighting({lit, renderer->lighting().ambient});
        }
    });
}

void WindowController::connectSliceViews() {
    QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
    m_ui->menuLayout->setEnabled(renderer != nullptr);
    m_ui->menuSlices->setEnabled(renderer != nullptr);
    if (!renderer) {
        return;
    }
    m_slices = std::make_unique<SlicePanel>(*m_ui->viewGrid, *m_ui->view, renderer->displayModel());
    m_planeOutlines = new PlaneOutlines(*m_ui->view, *renderer, m_slices->crosshair());
    m_planeOutlines->hide();
    connect(m_slices.get(), &SlicePanel::message, this,
            [this](const QString& text) { statusBar()->showMessage(text); });

    auto* layouts = new QActionGroup(this);
    m_layoutActions = {
        {m_ui->actionLayout3d, ViewLayout::ThreeD},
        {m_ui->actionLayoutOnePlusThree, ViewLayout::OnePlusThree},
        {m_ui->actionLayoutTwoByTwo, ViewLayout::TwoByTwo},
        {m_ui->actionLayoutAxial, ViewLayout::Axial},
        {m_ui->actionLayoutCoronal, ViewLayout::Coronal},
        {m_ui->actionLayoutSagittal, ViewLayout::Sagittal},
    };
    for (const auto& [action, layout] : m_layoutActions) {
        layouts->addAction(action);
        connect(action, &QAction::triggered, this, [this, layout = layout] { setViewLayout(layout); });
    }

    const auto setOption = [this](auto change) {
        SliceOptions options = m_slices->options();
        change(options);
        m_slices->setOptions(options);
    };
    connect(m_ui->actionSliceViewColours, &QAction::toggled, this,
            [setOption](bool on) { setOption([on](SliceOptions& options) { options.viewColours = on; }); });
    connect(m_ui->actionSliceLinear, &QAction::toggled, this,
            [setOption](bool on) { setOption([on](SliceOptions& options) { options.linear = on; }); });
    // The slices themselves inside the 3-D view, following the crosshair.
    const auto showPlanes = [this, renderer] {
        renderer->setSlicePlanes(m_ui->actionSlicesIn3D->isChecked()
                                     ? std::optional(m_slices->crosshair().point())
                                     : std::nullopt);
    };
    connect(m_ui->actionSlicesIn3D, &QAction::toggled, this, showPlanes);
    connect(&m_slices->crosshair(), &CrosshairModel::pointChanged, this, showPlanes);
    auto* thicknesses = new QActionGroup(this);
    for (const double millimetres : kSlabMillimetres) {
        QAction* action = m_ui->menuSlices->addAction(millimetres > 0.0 ? tr("Slab of %1 mm").arg(millimetres)
                                                                        : tr("Single slice"));
        action->setObjectName(QStringLiteral("actionSlab%1").arg(millimetres));
        action->setCheckable(true);
        action->setChecked(millimetres == 0.0);
        thicknesses->addAction(action);
        connect(action, &QAction::triggered, this, [setOption, millimetres] {
            setOption([millimetres](SliceOptions& options) { options.slabMillimetres = millimetres; });
        });
    }
    m_ui->menuSlices->addSeparator();
    auto* modes = new QActionGroup(this);
    const std::pair<QString, SlabMode> slabModes[] = {
        {tr("Slab: maximum"), SlabMode::Mip},
        {tr("Slab: minimum"), SlabMode::Minip},
        {tr("Slab: average"), SlabMode::Average},
    };
    for (const auto& [name, mode] : slabModes) {
        QAction* action = m_ui->menuSlices->addAction(name);
        action->setCheckable(true);
        action->setChecked(mode == SlabMode::Mip);
        modes->addAction(action);
        connect(action, &QAction::triggered, this, [setOption, mode = mode] {
            setOption([mode](SliceOptions& options) { options.slab = mode; });
        });
    }
}

void WindowController::setViewLayout(ViewLayout layout) {
    if (!m_slices) {
        return;
    }
    m_slices->setLayout(layout);
    // Beside the slice views the 3-D view shows where their planes lie.
    m_planeOutlines->setVisible(layout == ViewLayout::OnePlusThree || layout == ViewLayout::TwoByTwo);
    for (const auto& [action, shown] : m_layoutActions) {
        action->setChecked(shown == layout);
    }
}

void WindowController::addTransferFunctionDock() {
    m_transferFunction = new TransferFunctionDock(*m_contentViewController, this);
    addDockWidget(Qt::RightDockWidgetArea, m_transferFunction);
    m_transferFunction->hide();
    connect(m_ui->actionTransferFunction, &QAction::toggled, m_transferFunction, &QDockWidget::setVisible);
    // Closed by its own button, the dock unchecks the menu item.
    connect(m_transferFunction, &QDockWidget::visibilityChanged, this,
            [this] { m_ui->actionTransferFunction->setChecked(!m_transferFunction->isHidden()); });
    connect(m_transferFunction, &TransferFunctionDock::message, this,
            [this](const QString& text) { statusBar()->showMessage(text, kRefusalMessageMs); });
    connect(m_transferFunction, &TransferFunctionDock::colourMapChosen, this,
            &WindowController::showCommandStates);
}

void WindowController::applyTransferPreset(const TransferPresets::Entry& entry) {
    if (!_vc) {
        return;
    }
    if (const std::optional<QString> notice = _vc->applyTransferPreset(entry)) {
        statusBar()->showMessage(*notice, kRefusalMessageMs);
    }
    showCommandStates();
}

void WindowController::windowDidLoad() {
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor::fromRgbF(kBackgroundGrey, kBackgroundGrey, kBackgroundGrey,
                                                           kBackgroundAlpha));
    setPalette(background);
    _vc = m_contentViewController.get();
}

void WindowController::cameraZrot() {
    if (_vc) {
        _vc->showZrotSlider();
    }
    showCommandStates();
}

void WindowController::intercept() {
    if (_vc) {
        _vc->showInterceptSlider();
    }
    showCommandStates();
}

void WindowController::clutBW() {
    selectLookup(ColourLookup::BlackAndWhite);
    showCommandStates();
}

void WindowController::clutDefault() {
    selectLookup(ColourLookup::Default);
    showCommandStates();
}

void WindowController::showCommandStates() {
    const bool interceptShown = !m_ui->xslider->isHidden();
    const bool zrotShown = !m_ui->zrotslider->isHidden();
    m_ui->actionIntercept->setChecked(interceptShown);
    m_ui->actionZrot->setChecked(zrotShown);
    for (QLabel* label : {m_ui->xsliderLabel, m_ui->ysliderLabel, m_ui->zsliderLabel, m_ui->uppersliderLabel,
                          m_ui->lowersliderLabel}) {
        label->setVisible(interceptShown);
    }
    m_ui->zrotsliderLabel->setVisible(zrotShown);
    if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
        const DisplayModel& model = renderer->displayModel();
        m_ui->actionClutBW->setChecked(model.lookup() == ColourLookup::BlackAndWhite);
        m_ui->actionClutDefault->setChecked(model.lookup() == ColourLookup::Default);
        for (QAction* map : m_ui->menuColourMaps->actions()) {
            map->setChecked(model.lookup() == ColourLookup::Other && map->text() == model.colourMap().name());
        }
    }
}

void WindowController::selectLookup(ColourLookup lookup) {
    if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
        renderer->displayModel().setLookup(lookup);
    }
}

void WindowController::windowPreset(WindowPreset preset) {
    if (!_vc) {
        return;
    }
    if (const std::optional<QString> refusal = _vc->applyWindowPreset(preset)) {
        statusBar()->showMessage(tr("No such window: %1").arg(*refusal), kRefusalMessageMs);
    }
}

void WindowController::selectRenderMode(RenderMode mode) {
    if (QVRenderer* renderer = _vc ? _vc->renderer() : nullptr) {
        renderer->setRenderMode(mode);
    }
    // The mode may bring its own lookup.
    showCommandStates();
}

void WindowController::menuImportaction() {
    if (_vc) {
        _vc->menuImportaction();
    } else if (m_appDelegate) {
        m_appDelegate->menuImportaction();
    }
}

void WindowController::openFile(const QString& path, const QString& dataPath) {
    if (_vc) {
        _vc->importCommand().openFile(path, dataPath);
    }
}

void WindowController::openLocation() {
    bool accepted = false;
    const QString url = QInputDialog::getText(this, tr("Open Location"),
                                              tr("Address of an OME-Zarr store (http:// or https://):"),
                                              QLineEdit::Normal, m_lastLocation, &accepted)
                            .trimmed();
    if (!accepted || url.isEmpty()) {
        return;
    }
    m_lastLocation = HttpLocation::withoutCredentials(url);
    openFile(url);
}

void WindowController::newView() {
    QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
    if (!renderer) {
        return;
    }
    // A child of this window: it goes with it, or before it when closed.
    auto* window = new ViewWindow(*renderer, view()->device(), this);
    window->resize(view()->size());
    window->show();
}

void WindowController::resetView() {
    if (QVMTKView* shown = view()) {
        shown->clearPointerValues();
    }
    if (!_vc) {
        return;
    }
    if (QVRenderer* renderer = _vc->renderer()) {
        renderer->resetView();
    }
    _vc->resetSliders();
    if (m_slices) {
        m_slices->resetViews();
    }
}

void WindowController::saveImage() {
    const QString name = QFileInfo(m_volumeName).completeBaseName();
    m_saveImage->saveImage(name.isEmpty() ? kApplicationName : name);
}

void WindowController::exportZarr() {
    const QString name = QFileInfo(m_volumeName).completeBaseName();
    m_exportZarr->exportVolume(name.isEmpty() ? kApplicationName : name);
}

void WindowController::cancelImport() {
    if (!_vc || !_vc->importCommand().isLoading()) {
        return;
    }
    _vc->importCommand().cancelLoading();
    m_statusLabel->setText(m_volumeDescription);
}

void WindowController::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void WindowController::dropEvent(QDropEvent* event) {
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    // After the drop has finished: the import may open its data panel, and a modal
    // dialog inside the drop would hold the application the file came from.
    QTimer::singleShot(0, this, [this, path] { openFile(path); });
}

void WindowController::showUnreadable(const QString& fileName) {
    // News of a volume that another has replaced since says nothing of the one on show.
    const BrickPool* pool = _vc->renderer()->brickPool();
    if (!pool || !pool->failed()) {
        return;
    }
    const std::shared_ptr<const VolumeSource> source = _vc->renderer()->volumeState().source;
    if (source && source->failuresPass()) {
        // The volume's description stays, to come back when its source answers again.
        m_statusLabel->setText(
            tr("%1 cannot be read now: the view will be completed once it answers again.").arg(fileName));
        m_reloadButton->show();
        return;
    }
    m_volumeDescription =
        tr("The data file %1 changed or vanished: the view cannot be completed.").arg(fileName);
    m_statusLabel->setText(m_volumeDescription);
    m_reloadButton->show();
}

void WindowController::showReadable() {
    const BrickPool* pool = _vc->renderer()->brickPool();
    if (!pool || pool->failed()) {
        return;
    }
    m_statusLabel->setText(m_volumeDescription);
    m_reloadButton->hide();
}

void WindowController::setColourPreset(const ColourMap::Preset& preset) {
    m_colourPreset = preset;
    if (!_vc) {
        return;
    }
    if (const std::optional<QString> notice = _vc->applyColourPreset(preset)) {
        statusBar()->showMessage(*notice, kRefusalMessageMs);
    }
    showCommandStates();
}

void WindowController::showVolume(const QString& name, const QString& description) {
    m_volumeName = name;
    m_volumeDescription = description;
    m_reloadButton->hide();
    const QVRenderer::VolumeState volume = _vc->renderer()->volumeState();
    setWindowTitle(QStringLiteral("%1 — %2 × %3 × %4 — %5")
                       .arg(name)
                       .arg(volume.width)
                       .arg(volume.height)
                       .arg(volume.depth)
                       .arg(kApplicationName));
    if (m_colourPreset) {
        setColourPreset(*m_colourPreset);
    }
    if (m_slices) {
        m_slices->setVolume(volume);
    }
    if (m_transferFunction) {
        m_transferFunction->showVolume();
    }
    showCommandStates();
}

void WindowController::showLoading(bool loading) {
    m_cancelButton->setVisible(loading);
    m_ui->actionCancelImport->setEnabled(loading);
}

QString WindowController::statusText() const {
    return m_statusLabel ? m_statusLabel->text() : QString();
}

void WindowController::showVolumeStatus() {
    QPalette text = statusBar()->palette();
    text.setColor(QPalette::WindowText, QColor::fromRgbF(kStatusTextGrey, kStatusTextGrey, kStatusTextGrey));
    statusBar()->setPalette(text);

    // Permanent: the status tips of menu items must not hide the volume's description or
    // an import's progress.
    m_statusLabel = new QLabel(statusBar());
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    // A long message (an import's refusal) is cut off at the window's edge rather
    // than widening the window.
    m_statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addPermanentWidget(m_statusLabel, 1);
    m_cancelButton = new QPushButton(tr("Cancel"), statusBar());
    m_cancelButton->setObjectName(QStringLiteral("cancelImportButton"));
    m_cancelButton->setToolTip(tr("Stop the import in progress (Esc)"));
    m_cancelButton->hide();
    statusBar()->addPermanentWidget(m_cancelButton);
    connect(m_cancelButton, &QPushButton::clicked, this, &WindowController::cancelImport);
    m_reloadButton = new QPushButton(tr("Reload"), statusBar());
    m_reloadButton->setObjectName(QStringLiteral("reloadButton"));
    m_reloadButton->setToolTip(tr("Import the volume's file again as it is now"));
    m_reloadButton->hide();
    statusBar()->addPermanentWidget(m_reloadButton);
    connect(m_reloadButton, &QPushButton::clicked, this, [this] { _vc->importCommand().reload(); });

    const ImportCommand& command = m_contentViewController->importCommand();
    connect(&command, &ImportCommand::statusChanged, m_statusLabel, &QLabel::setText);
    connect(&command, &ImportCommand::volumeShown, this, &WindowController::showVolume);
    connect(&command, &ImportCommand::loadingChanged, this, &WindowController::showLoading);
    connect(&command, &ImportCommand::abandoned, m_statusLabel,
            [this] { m_statusLabel->setText(m_volumeDescription); });

    QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
    if (!renderer) {
        m_statusLabel->setText(tr("No volume: the renderer could not be set up"));
        return;
    }
    // Queued: frames emit it, and the status bar is not laid out again inside a frame.
    connect(renderer, &QVRenderer::volumeUnreadable, this, &WindowController::showUnreadable,
            Qt::QueuedConnection);
    connect(renderer, &QVRenderer::volumeReadable, this, &WindowController::showReadable,
            Qt::QueuedConnection);
    const std::shared_ptr<const VolumeData> sample = renderer->vdata();
    m_volumeDescription = VolumeStatus::describeSample(sample.get(), Bundle::mainBundle());
    m_statusLabel->setText(m_volumeDescription);
    if (sample && !sample->data().isNull()) {
        showVolume(QStringLiteral("%1.%2").arg(QString::fromLatin1(VolumeData::kSampleResourceName),
                                               QString::fromLatin1(VolumeData::kSampleResourceExtension)),
                   m_volumeDescription);
    }
}
