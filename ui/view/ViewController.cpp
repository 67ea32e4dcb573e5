#include "ui/view/ViewController.h"

#include "render/QVRenderer.h"
#include "ui/import/ImportCommand.h"
#include "ui/view/QVMTKView.h"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QPalette>
#include <QSignalBlocker>
#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace {

// Top sliders run 0..100 over the upper clip value 0..1 (100 keeps the whole volume).
constexpr double kTopInterceptPerStep = 0.01;
// Bottom sliders run the other way: 50 is a lower clip value of 0 (nothing cut),
// each step down raises it by 0.01, up to 0.5 at position 0.
constexpr double kBottomInterceptAtZero = 0.5;
constexpr double kBottomInterceptPerStep = 0.01;
// The z-rotation slider turns the view about the viewing axis, in radians per step.
constexpr double kZrotRadiansPerStep = 0.005;

// Slider positions that stand for the reset clip values and rotation.
constexpr int kTopSliderReset = 100;
constexpr int kBottomSliderReset = 50;
constexpr int kZrotSliderReset = 0;

// Light grey at 90 % opacity over the volume, in the system font at 14 points.
constexpr float kLabelGrey = 0.9f;
constexpr float kLabelAlpha = 0.9f;
constexpr double kLabelPointSize = 14.0;
// The window labels lie on a backdrop of black at this opacity: over a white picture it
// reads 0.3, where the labels' grey reads 0.84, a contrast of 5.9 : 1 (4.5 : 1 is readable).
constexpr float kBackdropAlpha = 0.7f;
constexpr int kBackdropMargin = 3;
constexpr int kMaxLabelDecimals = 6;
constexpr double kWholeTolerance = 1e-6;
// Whole numbers up to 2^53 are exact in a double: an offset within it adds to a sample
// as an integer. Values from 1e15 on are shown with six significant digits and an
// exponent; fixed decimals would print hundreds of digits for a value such as 1e300.
constexpr double kExactWhole = 0x1p53;
constexpr double kLargestFixed = 1e15;
constexpr int kSignificantDigits = 6;

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

ViewController::ViewController(QObject* parent, DeviceFactory makeDevice, const ViewerBudgets& budgets)
    : QObject(parent), m_makeDevice(std::move(makeDevice)), m_budgets(budgets),
      m_import(std::make_unique<ImportCommand>(*this)) {}

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
    m_renderer = std::make_unique<QVRenderer>(*_view, nullptr, nullptr, m_budgets.pool);
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
    palette.setColor(QPalette::Window, QColor::fromRgbF(0, 0, 0, kBackdropAlpha));
    label->setPalette(palette);
    label->setAutoFillBackground(true);
    label->setContentsMargins(kBackdropMargin, 0, kBackdropMargin, 0);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(kLabelPointSize);
    label->setFont(font);
    label->setText(text);
}

// Called in every frame. QLabel ignores a text equal to the one it shows, so a window
// that does not change repaints nothing here (the idle window's test counts paints).
void ViewController::observeValueForKeyPath(const QString& keyPath) {
    if (!m_renderer) {
        return;
    }
    // The renderer windows samples; the labels speak the file's units (Hounsfield units
    // after a rescale slope, the real values of a float volume).
    const QVRenderer::ValueMap map = m_renderer->valueMap();
    if (keyPath == QLatin1String("ww") && wwLabel) {
        wwLabel->setText(
            QStringLiteral("WW: %1").arg(fileValue(m_renderer->ww(), std::fabs(map.scale), 0.0)));
    }
    if (keyPath == QLatin1String("wl") && wlLabel) {
        wlLabel->setText(QStringLiteral("WL: %1").arg(fileValue(m_renderer->wl(), map.scale, map.offset)));
    }
}

QString ViewController::fileValue(std::int64_t sample, double scale, double offset) {
    std::int64_t whole = 0;
    if (scale == 1.0 && std::trunc(offset) == offset && std::fabs(offset) <= kExactWhole &&
        !__builtin_add_overflow(sample, static_cast<std::int64_t>(offset), &whole)) {
        return QString::number(whole);
    }
    // Without an intermediate product that could overflow where the value itself does not.
    const double value = std::fma(static_cast<double>(sample), scale, offset);
    if (std::isinf(value)) {
        // Wider than the largest double: a window over more than the whole range of reals.
        return value > 0.0 ? QStringLiteral("∞") : QStringLiteral("−∞");
    }
    if (!(std::fabs(value) < kLargestFixed)) {
        return QString::number(value, 'g', kSignificantDigits);
    }
    // As many decimals as one step of a sample needs, so that dragging shows every
    // step, and as the offset needs (an intercept of -1024.5).
    const double stepDecimals = std::ceil(-std::log10(std::fabs(scale)));
    int decimals =
        stepDecimals > 0.0 ? static_cast<int>(std::min<double>(stepDecimals, kMaxLabelDecimals)) : 0;
    while (decimals < kMaxLabelDecimals) {
        const double shifted = offset * std::pow(10.0, decimals);
        if (std::fabs(shifted - std::round(shifted)) < kWholeTolerance) {
            break;
        }
        ++decimals;
    }
    return QString::number(value, 'f', decimals);
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

void ViewController::resetSliders() {
    const std::pair<const QPointer<QSlider>*, int> resets[] = {
        {&xslider, kTopSliderReset},     {&xbtmslider, kBottomSliderReset},
        {&yslider, kTopSliderReset},     {&ybtmslider, kBottomSliderReset},
        {&zslider, kTopSliderReset},     {&zbtmslider, kBottomSliderReset},
        {&zrotslider, kZrotSliderReset},
    };
    for (const auto& [slider, position] : resets) {
        if (*slider) {
            const QSignalBlocker block(slider->data());
            (*slider)->setValue(position);
        }
    }
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

std::optional<QString> ViewController::applyColourPreset(const ColourMap::Preset& preset) {
    if (!m_renderer) {
        return tr("no volume is shown");
    }
    m_renderer->displayModel().setColourMap(preset.map);
    const QVRenderer::VolumeState volume = m_renderer->volumeState();
    if (WindowPresets::stretchesOverTheWindow(preset.low, preset.high, volume)) {
        return tr("The colour preset spans %1 to %2, a normalised range: its colours are stretched over the "
                  "window")
            .arg(preset.low)
            .arg(preset.high);
    }
    const auto window =
        WindowPresets::fromFileUnits(0.5 * (preset.low + preset.high), preset.high - preset.low, volume);
    if (const QString* reason = std::get_if<QString>(&window)) {
        return tr("The colour preset's window does not fit: %1").arg(*reason);
    }
    const auto& chosen = std::get<WindowPresets::SampleWindow>(window);
    m_renderer->setWw(chosen.width);
    m_renderer->setWl(chosen.level);
    const auto values = WindowPresets::valueRange(volume);
    if (values && (preset.high < values->first || preset.low > values->second)) {
        return tr("The colour preset's values %1 to %2 lie outside the volume's, %3 to %4")
            .arg(preset.low)
            .arg(preset.high)
            .arg(values->first)
            .arg(values->second);
    }
    return std::nullopt;
}

std::optional<QString> ViewController::applyTransferPreset(const TransferPresets::Entry& entry) {
    if (!m_renderer) {
        return tr("no volume is shown");
    }
    const auto preset = TransferPresets::forVolume(entry, m_renderer->volumeState());
    if (const QString* reason = std::get_if<QString>(&preset)) {
        return tr("No such preset: %1").arg(*reason);
    }
    return applyColourPreset(std::get<ColourMap::Preset>(preset));
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
