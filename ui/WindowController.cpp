#include "WindowController.h"

#include "AppDelegate.h"
#include "Bundle.h"
#include "ImportCommand.h"
#include "QVMTKView.h"
#include "QVRenderer.h"
#include "VolumeStatus.h"
#include "ui_MainWindow.h"

#include <QActionGroup>
#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QStatusBar>

namespace {

// Renderer colour lookup modes.
constexpr std::int64_t kClutDefault = 0;
constexpr std::int64_t kClutBlackAndWhite = 1;

// A dark grey, slightly translucent window behind the view.
constexpr float kBackgroundGrey = 0.4f;
constexpr float kBackgroundAlpha = 0.9f;

// How long a refused preset's reason stays in the status line.
constexpr int kRefusalMessageMs = 5000;

} // namespace

WindowController::WindowController(AppDelegate* appDelegate, ViewController::DeviceFactory makeDevice,
                                   QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>()), m_appDelegate(appDelegate),
      m_contentViewController(std::make_unique<ViewController>(nullptr, std::move(makeDevice))) {
    m_ui->setupUi(this);
    connectLayout();
    m_contentViewController->viewDidLoad();
    windowDidLoad();
    showVolumeStatus();
}

WindowController::~WindowController() = default;

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

    connect(m_ui->actionImport, &QAction::triggered, this, &WindowController::menuImportaction);
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
}

void WindowController::intercept() {
    if (_vc) {
        _vc->showInterceptSlider();
    }
}

void WindowController::clutBW() {
    selectClutmode(kClutBlackAndWhite);
}

void WindowController::clutDefault() {
    selectClutmode(kClutDefault);
}

void WindowController::selectClutmode(std::int64_t mode) {
    QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
    if (renderer && renderer->clutmode() != mode) {
        renderer->setClutmode(mode);
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
}

void WindowController::menuImportaction() {
    if (_vc) {
        _vc->menuImportaction();
    } else if (m_appDelegate) {
        m_appDelegate->menuImportaction();
    }
}

QString WindowController::statusText() const {
    return m_statusLabel ? m_statusLabel->text() : QString();
}

void WindowController::showVolumeStatus() {
    m_statusLabel = new QLabel(statusBar());
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    // A long message (an import's refusal) is cut off at the window's edge rather
    // than widening the window.
    m_statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(m_statusLabel, 1);
    connect(&m_contentViewController->importCommand(), &ImportCommand::statusChanged, m_statusLabel,
            &QLabel::setText);
    QVRenderer* renderer = _vc ? _vc->renderer() : nullptr;
    if (!renderer) {
        m_statusLabel->setText(tr("No volume: the renderer could not be set up"));
        return;
    }
    m_statusLabel->setText(VolumeStatus::describeSample(renderer->vdata().get(), Bundle::mainBundle()));
}
