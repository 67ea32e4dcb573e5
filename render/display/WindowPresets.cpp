#include "render/display/WindowPresets.h"

#include "render/scene/VolumeSurvey.h"

#include <QStringList>
#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace {

// The usual CT windows, centre and width in Hounsfield units.
struct HounsfieldWindow {
    double level, width;
};
constexpr HounsfieldWindow kSoftTissue{40.0, 400.0};
constexpr HounsfieldWindow kBone{300.0, 1500.0};
constexpr HounsfieldWindow kLung{-600.0, 1500.0};
constexpr HounsfieldWindow kBrain{40.0, 80.0};

// Below one sample unit the shaders treat a window as a threshold; presets stay above.
constexpr std::int64_t kNarrowestWidth = 1;

constexpr std::array<std::pair<const char*, WindowPreset>, 9> kNames{{
    {"startup", WindowPreset::Startup},
    {"import", WindowPreset::Import},
    {"auto", WindowPreset::Auto},
    {"full", WindowPreset::FullRange},
    {"file", WindowPreset::File},
    {"soft-tissue", WindowPreset::SoftTissue},
    {"bone", WindowPreset::Bone},
    {"lung", WindowPreset::Lung},
    {"brain", WindowPreset::Brain},
}};

// A window spanning the samples [low, high] (texel + sampleOffset).
WindowPresets::SampleWindow spanning(std::int64_t low, std::int64_t high) {
    const std::int64_t width = std::max(high - low, kNarrowestWidth);
    return {low + width / 2, width};
}

} // namespace

std::variant<WindowPresets::SampleWindow, QString>
WindowPresets::fromFileUnits(double level, double width, const QVRenderer::VolumeState& volume) {
    if (!std::isfinite(volume.valueScale) || volume.valueScale == 0.0 || !std::isfinite(volume.valueOffset)) {
        return QStringLiteral("the volume's values have no usable scale");
    }
    const double sampleLevel = (level - volume.valueOffset) / volume.valueScale;
    const double sampleWidth = width / std::abs(volume.valueScale);
    constexpr double kLargest = 1.0e15; // far beyond any 16-bit sample, well inside int64
    if (!std::isfinite(sampleLevel) || !std::isfinite(sampleWidth) || std::abs(sampleLevel) > kLargest ||
        sampleWidth > kLargest) {
        return QStringLiteral("the window lies outside the volume's range");
    }
    return WindowPresets::SampleWindow{std::llround(sampleLevel),
                                       std::max<std::int64_t>(std::llround(sampleWidth), kNarrowestWidth)};
}

namespace {

std::variant<WindowPresets::SampleWindow, QString> ctWindow(HounsfieldWindow window,
                                                            const QVRenderer::VolumeState& volume) {
    if (!volume.hounsfield) {
        return QStringLiteral("the volume's values are not Hounsfield units");
    }
    return WindowPresets::fromFileUnits(window.level, window.width, volume);
}

} // namespace

std::variant<WindowPresets::SampleWindow, QString>
WindowPresets::windowFor(WindowPreset preset, const QVRenderer::VolumeState& volume) {
    const std::int64_t offset = volume.sampleOffset;
    switch (preset) {
    case WindowPreset::Startup:
        return SampleWindow{QVRenderer::kStartupWindowLevel, QVRenderer::kStartupWindowWidth};
    case WindowPreset::Import:
        return SampleWindow{VolumeSurvey::kImportWindowLevel, VolumeSurvey::kImportWindowWidth};
    case WindowPreset::Auto:
        if (!volume.texels) {
            return (volume.source ? QStringLiteral("the volume's samples are still being counted")
                                  : QStringLiteral("no volume is shown"));
        }
        return spanning(volume.texels->lowPercentile + offset, volume.texels->highPercentile + offset);
    case WindowPreset::FullRange:
        if (!volume.texels) {
            return (volume.source ? QStringLiteral("the volume's samples are still being counted")
                                  : QStringLiteral("no volume is shown"));
        }
        return spanning(volume.texels->min + offset, volume.texels->max + offset);
    case WindowPreset::File:
        if (!volume.fileWindow) {
            return QStringLiteral("the file names no window of its own");
        }
        return fromFileUnits(volume.fileWindow->level, volume.fileWindow->width, volume);
    case WindowPreset::SoftTissue:
        return ctWindow(kSoftTissue, volume);
    case WindowPreset::Bone:
        return ctWindow(kBone, volume);
    case WindowPreset::Lung:
        return ctWindow(kLung, volume);
    case WindowPreset::Brain:
        return ctWindow(kBrain, volume);
    }
    return QStringLiteral("unknown window preset");
}

std::optional<std::pair<double, double>> WindowPresets::valueRange(const QVRenderer::VolumeState& volume) {
    if (!volume.texels) {
        return std::nullopt;
    }
    const double first = (volume.texels->min + volume.sampleOffset) * volume.valueScale + volume.valueOffset;
    const double last = (volume.texels->max + volume.sampleOffset) * volume.valueScale + volume.valueOffset;
    return std::pair(std::min(first, last), std::max(first, last));
}

bool WindowPresets::stretchesOverTheWindow(double low, double high, const QVRenderer::VolumeState& volume) {
    const bool normalised = (low == 0.0 || low == -1.0) && high == 1.0;
    const auto values = valueRange(volume);
    return normalised && values && (values->first < low || values->second > high);
}

std::optional<WindowPreset> WindowPresets::fromName(const QString& name) {
    for (const auto& [text, preset] : kNames) {
        if (name == QLatin1String(text)) {
            return preset;
        }
    }
    return std::nullopt;
}

QString WindowPresets::names() {
    QStringList list;
    for (const auto& entry : kNames) {
        list << QLatin1String(entry.first);
    }
    return list.join(QLatin1Char('|'));
}
