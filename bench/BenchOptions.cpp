#include "BenchOptions.h"

#include <algorithm>
#include <iterator>

namespace {

// Viewports above this are not what the bench is for, and keep W x H x 4 within int.
constexpr int kLargestSide = 8192;
constexpr int kMostFrames = 100000;
// Budgets are given in MiB; 4 TiB is beyond any machine the bench runs on.
constexpr int kMegabyteShift = 20;
constexpr int kMostMegabytes = 1 << 22;
constexpr int kMostWarmUpSeconds = 3600;
constexpr int kMostSlices = 1 << 30;
constexpr double kThickestSlabMillimetres = 10000.0;

constexpr RenderMode kModes[] = {RenderMode::Composite, RenderMode::Mip, RenderMode::Minip,
                                 RenderMode::Average};

// A whole number in [low, high], or nothing.
std::optional<int> boundedInt(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> windowValue(const QString& text) {
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    return ok ? std::optional<std::int64_t>(value) : std::nullopt;
}

} // namespace

QString BenchOptions::modeName(RenderMode mode) {
    switch (mode) {
    case RenderMode::Composite:
        return QStringLiteral("composite");
    case RenderMode::Mip:
        return QStringLiteral("mip");
    case RenderMode::Minip:
        return QStringLiteral("minip");
    case RenderMode::Average:
        return QStringLiteral("average");
    }
    return {};
}

QString BenchOptions::lookupName(ColourLookup lookup) {
    switch (lookup) {
    case ColourLookup::BlackAndWhite:
        return QStringLiteral("bw");
    case ColourLookup::Other:
        return QStringLiteral("other");
    default:
        return QStringLiteral("default");
    }
}

QString BenchOptions::usage() {
    return QStringLiteral("usage: voxview-bench [--volume sample|HEADER|STORE] [--size W H] [--frames N] "
                          "[--json FILE] [--png FILE] [--quality full|interactive] "
                          "[--mode composite|mip|minip|average] [--sampling N] [--lookup default|bw] "
                          "[--transfer-function FILE.json] "
                          "[--window LEVEL WIDTH | --window %1] [--view 3d|axial|coronal|sagittal] [--slice "
                          "INDEX] [--slab MM] "
                          "[--gpu-budget MB] [--ram-budget MB] [--warm-up-limit S]")
        .arg(WindowPresets::names());
}

std::variant<BenchOptions, QString> BenchOptions::parse(const QStringList& arguments) {
    BenchOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& name = arguments[i];
        const auto needs = [&](qsizetype count) { return i + count < arguments.size(); };
        if (name == QLatin1String("--volume") && needs(1)) {
            options.volume = arguments[++i];
        } else if (name == QLatin1String("--size") && needs(2)) {
            const std::optional<int> width = boundedInt(arguments[i + 1], 1, kLargestSide);
            const std::optional<int> height = boundedInt(arguments[i + 2], 1, kLargestSide);
            if (!width || !height) {
                return QStringLiteral("--size needs two whole numbers from 1 to %1, not \"%2 %3\"")
                    .arg(kLargestSide)
                    .arg(arguments[i + 1], arguments[i + 2]);
            }
            options.size = QSize(*width, *height);
            i += 2;
        } else if (name == QLatin1String("--frames") && needs(1)) {
            const std::optional<int> frames = boundedInt(arguments[++i], 1, kMostFrames);
            if (!frames) {
                return QStringLiteral("--frames needs a whole number from 1 to %1, not \"%2\"")
                    .arg(kMostFrames)
                    .arg(arguments[i]);
            }
            options.frames = *frames;
        } else if (name == QLatin1String("--json") && needs(1)) {
            options.jsonPath = arguments[++i];
        } else if (name == QLatin1String("--png") && needs(1)) {
            options.pngPath = arguments[++i];
        } else if (name == QLatin1String("--quality") && needs(1)) {
            const QString& quality = arguments[++i];
            if (quality == QLatin1String("full")) {
                options.quality = Quality::Full;
            } else if (quality == QLatin1String("interactive")) {
                options.quality = Quality::Interactive;
            } else {
                return QStringLiteral("--quality is full or interactive, not \"%1\"").arg(quality);
            }
        } else if (name == QLatin1String("--mode") && needs(1)) {
            const QString& mode = arguments[++i];
            const auto* found = std::find_if(std::begin(kModes), std::end(kModes),
                                             [&](RenderMode m) { return modeName(m) == mode; });
            if (found == std::end(kModes)) {
                return QStringLiteral("--mode is composite, mip, minip or average, not \"%1\"").arg(mode);
            }
            options.mode = *found;
        } else if (name == QLatin1String("--lookup") && needs(1)) {
            const QString& lookup = arguments[++i];
            if (lookup != lookupName(ColourLookup::Default) &&
                lookup != lookupName(ColourLookup::BlackAndWhite)) {
                return QStringLiteral("--lookup is default or bw, not \"%1\"").arg(lookup);
            }
            options.lookup = lookup == lookupName(ColourLookup::Default) ? ColourLookup::Default
                                                                         : ColourLookup::BlackAndWhite;
        } else if (name == QLatin1String("--transfer-function") && needs(1)) {
            options.transferFunctionPath = arguments[++i];
        } else if (name == QLatin1String("--sampling") && needs(1)) {
            const std::optional<int> sampling =
                boundedInt(arguments[++i], 1, QVRenderer::kMostSamplesPerStep);
            if (!sampling) {
                return QStringLiteral("--sampling needs a whole number from 1 to %1, not \"%2\"")
                    .arg(QVRenderer::kMostSamplesPerStep)
                    .arg(arguments[i]);
            }
            options.sampling = *sampling;
        } else if (name == QLatin1String("--window") && needs(1)) {
            const QString& first = arguments[++i];
            if (const std::optional<WindowPreset> preset = WindowPresets::fromName(first)) {
                options.windowPreset = preset;
                options.window.reset();
                continue;
            }
            const std::optional<std::int64_t> level = windowValue(first);
            const std::optional<std::int64_t> width = needs(1) ? windowValue(arguments[i + 1]) : std::nullopt;
            if (!level || !width) {
                return QStringLiteral("--window needs LEVEL WIDTH (whole numbers) or one of %1, not \"%2\"")
                    .arg(WindowPresets::names(), first);
            }
            ++i;
            options.window = WindowPresets::SampleWindow{*level, *width};
            options.windowPreset.reset();
        } else if ((name == QLatin1String("--gpu-budget") || name == QLatin1String("--ram-budget")) &&
                   needs(1)) {
            const std::optional<int> megabytes = boundedInt(arguments[++i], 1, kMostMegabytes);
            if (!megabytes) {
                return QStringLiteral("%1 needs a whole number of megabytes from 1 to %2, not \"%3\"")
                    .arg(name)
                    .arg(kMostMegabytes)
                    .arg(arguments[i]);
            }
            const std::uint64_t bytes = static_cast<std::uint64_t>(*megabytes) << kMegabyteShift;
            (name == QLatin1String("--gpu-budget") ? options.gpuBudgetBytes : options.ramBudgetBytes) = bytes;
        } else if (name == QLatin1String("--view") && needs(1)) {
            const QString& view = arguments[++i];
            options.view.reset();
            for (SliceAxis axis : SliceGeometry::kAxes) {
                if (view.compare(SliceGeometry::name(axis), Qt::CaseInsensitive) == 0) {
                    options.view = axis;
                }
            }
            if (!options.view && view != QLatin1String("3d")) {
                return QStringLiteral("--view is 3d, axial, coronal or sagittal, not \"%1\"").arg(view);
            }
        } else if (name == QLatin1String("--slice") && needs(1)) {
            const std::optional<int> slice = boundedInt(arguments[++i], 0, kMostSlices);
            if (!slice) {
                return QStringLiteral("--slice needs a slice number from 0, not \"%1\"").arg(arguments[i]);
            }
            options.slice = static_cast<std::uint64_t>(*slice);
        } else if (name == QLatin1String("--slab") && needs(1)) {
            bool ok = false;
            const double millimetres = arguments[++i].toDouble(&ok);
            if (!ok || !(millimetres >= 0.0 && millimetres <= kThickestSlabMillimetres)) {
                return QStringLiteral("--slab needs millimetres from 0 to %1, not \"%2\"")
                    .arg(kThickestSlabMillimetres)
                    .arg(arguments[i]);
            }
            options.slabMillimetres = millimetres;
        } else if (name == QLatin1String("--warm-up-limit") && needs(1)) {
            const std::optional<int> seconds = boundedInt(arguments[++i], 1, kMostWarmUpSeconds);
            if (!seconds) {
                return QStringLiteral(
                           "--warm-up-limit needs a whole number of seconds from 1 to %1, not \"%2\"")
                    .arg(kMostWarmUpSeconds)
                    .arg(arguments[i]);
            }
            options.warmUpLimitSeconds = *seconds;
        } else if (name.startsWith(QLatin1String("--"))) {
            return QStringLiteral("unknown option or missing value: %1").arg(name);
        } else {
            return QStringLiteral("unexpected argument: %1").arg(name);
        }
    }
    return options;
}
