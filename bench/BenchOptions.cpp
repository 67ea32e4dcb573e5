#include "BenchOptions.h"

namespace {

// Viewports above this are not what the bench is for, and keep W x H x 4 within int.
constexpr int kLargestSide = 8192;
constexpr int kMostFrames = 100000;

// A whole number in [low, high], or nothing.
std::optional<int> boundedInt(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace

QString BenchOptions::usage() {
    return QStringLiteral("usage: voxview-bench [--volume sample|HEADER] [--size W H] [--frames N] "
                          "[--json FILE] [--png FILE] [--quality full|interactive]");
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
        } else if (name.startsWith(QLatin1String("--"))) {
            return QStringLiteral("unknown option or missing value: %1").arg(name);
        } else {
            return QStringLiteral("unexpected argument: %1").arg(name);
        }
    }
    return options;
}
