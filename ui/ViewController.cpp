#include "ViewController.h"

#include "ImportCommand.h"
#include "QVMTKView.h"
#include "QVRenderer.h"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QPalette>
#include <QtGlobal>

namespace {

// Top sliders run 0..100 over the upper clip value 0..1 (100 keeps the whole volume).
constexpr double kTopInterceptPerStep = 0.01;
// Bottom sliders run the other way: 50 is a lower clip value of 0 (nothing cut),
// each step down raises it by 0.01, up to 0.5 at position 0.
constexpr double kBottomInterceptAtZero = 0.5;
constexpr double kBottomInterceptPerStep = 0.01;
// The z-rotation slider turns the view about the viewing axis, in radians per step.
constexpr double kZrotRadiansPerStep = 0.005;

// Light grey at 90 % opacity over the volume, in the system font at 14 points.
constexpr float kLabelGrey = 0.9f;
constexpr float kLabelAlpha = 0.9f;
constexpr double kLabelPointSize = 14.0;

// A slider that is gone reads as position 0.
int position(const QPointer<QSlider>& slider) {
    return slider ? slider->value() : 0;
}

float topIntercept(const QPointer<QSlider>& slider) {
    return static_cast<float>(kTopInterceptPerStep * position(slider));
}

float bottomIntercept(const QPointer<QSlider>& slider) {
    return static_cast<float>(kBottomInterceptAtZero - kBottomInterceptPerStep * position(slider));
}

void setHidden(const QPointer<QSlider>& slider, bool hidden) {
    if (slider) {
        slider->setHidden(hidden);
    }
}

} // namespace

ViewController::ViewController(QObject* parent, DeviceFactory makeDevice)
    : QObject(parent), m_makeDevice(std::move(makeDevice)), m_import(std::make_unique<ImportCommand>(*this)) {
}

ViewController::~ViewController() {
    // The view must not call a renderer that is going away.
    if (_view && m_renderer && _view->delegate() == m_renderer.get()) {
        _view->setDelegate(nullptr);
    }
}

void ViewController::setView(QVMTKView* view) {
    _view = view;
}

QVMTKView* ViewController::view() const {
    return _view;
}

void ViewController::viewDidLoad() {
    if (!_view) {
        qWarning("ViewController: no view to load");
        return;
    }
    _view->setDevice(m_makeDevice ? m_makeDevice() : nullptr);
    m_renderer = QVRenderer::initWithMetalKitView(*_view);
    if (!m_renderer) {
        qWarning("ViewController: the renderer could not be created");
        return;
    }
    m_renderer->mtkView_drawableSizeWillChange(*_view, _view->drawableSize());
    // Direct: the labels are rewritten inside the setter, within the frame.
    connect(m_renderer.get(), &QVRenderer::valueChanged, this, &ViewController::observeValueForKeyPath,
            Qt::DirectConnection);
    _view->setDelegate(m_renderer.get());
    styleLabel(wwLabel, QStringLiteral("WW"));
    styleLabel(wlLabel, QStringLiteral("WL"));
    m_showIntercept = false;
    m_showZrot = false;
}

void ViewController::styleLabel(QLabel* label, const QString& text) const {
    if (!label) {
        return;
    }
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor::fromRgbF(kLabelGrey, kLabelGrey, kLabelGrey, kLabelAlpha));
    label->setPalette(palette);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(kLabelPointSize);
    label->setFont(font);
    label->setText(text);
}

void ViewController::observeValueForKeyPath(const QString& keyPath) {
    if (!m_renderer) {
        return;
    }
    if (keyPath == QLatin1String("ww") && wwLabel) {
        wwLabel->setText(QStringLiteral("WW: %1").arg(m_renderer->ww()));
    }
    if (keyPath == QLatin1String("wl") && wlLabel) {
        wlLabel->setText(QStringLiteral("WL: %1").arg(m_renderer->wl()));
    }
}

void ViewController::showInterceptSlider() {
    const bool hide = m_showIntercept;
    for (const QPointer<QSlider>* slider :
         {&xslider, &xbtmslider, &yslider, &ybtmslider, &zslider, &zbtmslider}) {
        setHidden(*slider, hide);
    }
    m_showIntercept = !hide;
}

void ViewController::showZrotSlider() {
    setHidden(zrotslider, m_showZrot);
    m_showZrot = !m_showZrot;
}

std::optional<QString> ViewController::applyWindowPreset(WindowPreset preset) {
    if (!m_renderer) {
        return tr("no volume is shown");
    }
    const auto window = WindowPresets::windowFor(preset, m_renderer->volumeState());
    if (const QString* reason = std::get_if<QString>(&window)) {
        return *reason;
    }
    const auto& chosen = std::get<WindowPresets::SampleWindow>(window);
    m_renderer->setWw(chosen.width);
    m_renderer->setWl(chosen.level);
    return std::nullopt;
}

void ViewController::menuImportaction() {
    m_import->menuImportaction();
}

void ViewController::zBtmslideraction() {
    if (m_renderer) {
        m_renderer->setZceptBtm(bottomIntercept(zbtmslider));
    }
}

void ViewController::yBtmslideraction() {
    if (m_renderer) {
        m_renderer->setYceptBtm(bottomIntercept(ybtmslider));
    }
}

void ViewController::xBtmslideraction() {
    if (m_renderer) {
        m_renderer->setXceptBtm(bottomIntercept(xbtmslider));
    }
}

void ViewController::zrotslideraction() {
    if (m_renderer) {
        m_renderer->setZrot(static_cast<float>(kZrotRadiansPerStep * position(zrotslider)));
    }
}

void ViewController::zslideraction() {
    if (m_renderer) {
        m_renderer->setZcept(topIntercept(zslider));
    }
}

void ViewController::yslideraction() {
    if (m_renderer) {
        m_renderer->setYcept(topIntercept(yslider));
    }
}

void ViewController::xslideraction() {
    if (m_renderer) {
        m_renderer->setXcept(topIntercept(xslider));
    }
}
