#include "render/display/ColourMap.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>

namespace {

// A curve this blunt runs straight between its points; one this sharp steps at its midpoint.
constexpr double kLinearBelow = 0.01;
constexpr double kStepAbove = 0.99;
// How much harder the rise of a curve of sharpness 1 squeezes towards its midpoint than a
// straight line's.
constexpr double kSqueeze = 10.0;
// A midpoint at a point's very end would divide by nothing.
constexpr double kMidpointMargin = 1e-5;
// Colour presets are a few kilobytes; a file far larger is something else, not read whole.
constexpr qint64 kMostPresetBytes = qint64{16} << 20;
// Presets written through single precision hold 1.0000001 for a full channel; beyond this
// slack a value outside 0 to 1 is a fault of the file.
constexpr double kUnitSlack = 1e-6;

// The entry `index` of a preset's array as a fraction from 0 to 1, within the slack (then held
// to it); NaN where it is no such number.
double unitAt(const QJsonArray& values, qsizetype index) {
    const double value = values[index].toDouble(NAN);
    return value >= -kUnitSlack && value <= 1.0 + kUnitSlack ? std::clamp(value, 0.0, 1.0) : NAN;
}

std::uint8_t byteOf(double channel) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(channel, 0.0, 1.0) * 255.0));
}

} // namespace

ColourMap::ColourMap(QString name, std::vector<Point> points, std::vector<OpacityPoint> opacity,
                     ColourSpace space)
    : m_name(std::move(name)), m_points(std::move(points)), m_opacity(std::move(opacity)), m_space(space),
      m_table(makeTable()) {
    if (m_opacity.empty()) {
        return;
    }
    // Up to the entry before the first that shows: the shader blends the two between them.
    std::size_t shows = 0;
    while (shows < kTableSize && m_table[4 * shows + 3] == 0) {
        ++shows;
    }
    m_transparentUpTo =
        shows == 0 ? 0.0 : static_cast<double>(shows - 1) / static_cast<double>(kTableSize - 1);
}

const std::vector<ColourMap>& ColourMap::builtIns() {
    static const std::vector<ColourMap> maps{
        // Low values dark red, the middle of the window orange, its top ivory, so that skin,
        // soft tissue and bone differ.
        {QStringLiteral("Default"),
         {{0.0, 0.40, 0.05, 0.03}, {0.5, 0.95, 0.50, 0.15}, {1.0, 1.00, 0.96, 0.86}}},
        {QStringLiteral("Black and White"), {{0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}}},
        {QStringLiteral("Hot"),
         {{0.0, 0.0, 0.0, 0.0}, {0.4, 1.0, 0.0, 0.0}, {0.8, 1.0, 1.0, 0.0}, {1.0, 1.0, 1.0, 1.0}}},
        {QStringLiteral("Bone"),
         {{0.0, 0.0, 0.0, 0.0}, {0.375, 0.32, 0.32, 0.45}, {0.75, 0.66, 0.78, 0.78}, {1.0, 1.0, 1.0, 1.0}}},
        // Lightness rises evenly from dark blue over teal and green to yellow.
        {QStringLiteral("Viridis"),
         {{0.0, 0.267, 0.005, 0.329},
          {0.25, 0.229, 0.322, 0.546},
          {0.5, 0.128, 0.567, 0.551},
          {0.75, 0.369, 0.789, 0.383},
          {1.0, 0.993, 0.906, 0.144}}},
        // Blue below the middle of the window, red above, grey at it.
        {QStringLiteral("Cool to Warm"),
         {{0.0, 0.230, 0.299, 0.754}, {0.5, 0.865, 0.865, 0.865}, {1.0, 0.706, 0.016, 0.150}}},
    };
    return maps;
}

ColourMap ColourMap::withOpacity(std::vector<OpacityPoint> opacity) const {
    return ColourMap(m_name, m_points, std::move(opacity), m_space);
}

namespace {

// The two points around x and how far x lies from the first to the second; the ends held
// beyond them.
template <typename P> std::tuple<const P&, const P&, double> around(const std::vector<P>& points, double x) {
    const auto after = std::ranges::upper_bound(points, x, {}, &P::x);
    if (after == points.begin()) {
        return {points.front(), points.front(), 0.0};
    }
    if (after == points.end()) {
        return {points.back(), points.back(), 0.0};
    }
    const P& a = *(after - 1);
    return {a, *after, after->x > a.x ? (x - a.x) / (after->x - a.x) : 1.0};
}

// The opacity `u` of the way from a to b: the midpoint moved to u = ½, then a rise squeezed
// towards it as sharply as `a` asks, whose ends slope less the sharper it is.
double shaped(const ColourMap::OpacityPoint& a, const ColourMap::OpacityPoint& b, double u) {
    const double midpoint = std::clamp(a.midpoint, kMidpointMargin, 1.0 - kMidpointMargin);
    u = u < midpoint ? 0.5 * u / midpoint : 0.5 + 0.5 * (u - midpoint) / (1.0 - midpoint);
    const double rise = b.opacity - a.opacity;
    if (a.sharpness < kLinearBelow) {
        return a.opacity + u * rise;
    }
    if (a.sharpness > kStepAbove) {
        return u < 0.5 ? a.opacity : b.opacity;
    }
    const double power = 1.0 + kSqueeze * a.sharpness;
    u = u < 0.5 ? 0.5 * std::pow(2.0 * u, power) : 1.0 - 0.5 * std::pow(2.0 * (1.0 - u), power);
    // A cubic Hermite segment with the same slope at both ends.
    const double u2 = u * u, u3 = u2 * u;
    const double slope = (1.0 - a.sharpness) * rise;
    const double value = (2.0 * u3 - 3.0 * u2 + 1.0) * a.opacity + (3.0 * u2 - 2.0 * u3) * b.opacity +
                         (2.0 * u3 - 3.0 * u2 + u) * slope;
    return std::clamp(value, 0.0, 1.0);
}

} // namespace

double ColourMap::opacityAt(const std::vector<OpacityPoint>& curve, double x) {
    const auto [a, b, u] = around(curve, x);
    return shaped(a, b, u);
}

ColourMap::Table ColourMap::makeTable() const {
    Table table{};
    for (std::size_t n = 0; n < kTableSize; ++n) {
        const double x = static_cast<double>(n) / static_cast<double>(kTableSize - 1);
        const auto [a, b, t] = around(m_points, x);
        const colourspaces::Rgb colour =
            colourspaces::between(m_space, {a.red, a.green, a.blue}, {b.red, b.green, b.blue}, t);
        table[4 * n] = byteOf(colour.red);
        table[4 * n + 1] = byteOf(colour.green);
        table[4 * n + 2] = byteOf(colour.blue);
        table[4 * n + 3] = m_opacity.empty() ? 255 : byteOf(opacityAt(m_opacity, x));
    }
    return table;
}

std::variant<ColourMap::Preset, QString> ColourMap::fromParaViewPreset(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull()) {
        return QStringLiteral("it is not JSON (%1)").arg(error.errorString());
    }
    const QJsonArray presets = document.isArray() ? document.array() : QJsonArray{document.object()};
    const QJsonObject preset = presets.isEmpty() ? QJsonObject() : presets.at(0).toObject();
    const QJsonArray values = preset.value(QLatin1String("RGBPoints")).toArray();
    if (values.isEmpty()) {
        return QStringLiteral("it holds no colour preset with RGBPoints");
    }
    if (values.size() % 4 != 0 || values.size() < 8) {
        return QStringLiteral("its RGBPoints are not x, r, g, b quadruples of two points or more");
    }
    const QJsonValue spaceName = preset.value(QLatin1String("ColorSpace"));
    const std::optional<ColourSpace> space =
        spaceName.isUndefined() ? ColourSpace::Rgb : colourspaces::named(spaceName.toString());
    if (!space) {
        return QStringLiteral("its ColorSpace %1 is none of RGB, HSV, Lab, Diverging and Step")
            .arg(spaceName.toVariant().toString());
    }
    std::vector<Point> points;
    for (qsizetype i = 0; i < values.size(); i += 4) {
        const Point p{values[i].toDouble(NAN), unitAt(values, i + 1), unitAt(values, i + 2),
                      unitAt(values, i + 3)};
        if (!std::isfinite(p.x) || std::isnan(p.red) || std::isnan(p.green) || std::isnan(p.blue)) {
            return QStringLiteral("its RGBPoints hold a value that is no number or a colour outside 0 to 1");
        }
        points.push_back(p);
    }
    std::ranges::stable_sort(points, {}, &Point::x);
    const double low = points.front().x;
    const double high = points.back().x;
    if (!(high > low) || !std::isfinite(high - low)) {
        return QStringLiteral("its RGBPoints span no range of values");
    }
    for (Point& p : points) {
        p.x = (p.x - low) / (high - low);
    }
    const QJsonArray opacityValues = preset.value(QLatin1String("Points")).toArray();
    if (!opacityValues.isEmpty() && (opacityValues.size() % 4 != 0 || opacityValues.size() < 8)) {
        return QStringLiteral(
            "its Points are not x, opacity, midpoint, sharpness quadruples of two points or more");
    }
    std::vector<OpacityPoint> opacity;
    for (qsizetype i = 0; i < opacityValues.size(); i += 4) {
        const OpacityPoint p{(opacityValues[i].toDouble(NAN) - low) / (high - low),
                             unitAt(opacityValues, i + 1), unitAt(opacityValues, i + 2),
                             unitAt(opacityValues, i + 3)};
        if (!std::isfinite(p.x) || std::isnan(p.opacity)) {
            return QStringLiteral("its Points hold a value that is no number or an opacity outside 0 to 1");
        }
        if (std::isnan(p.midpoint) || std::isnan(p.sharpness)) {
            return QStringLiteral("its Points hold a midpoint or sharpness that is no number from 0 to 1");
        }
        opacity.push_back(p);
    }
    std::ranges::stable_sort(opacity, {}, &OpacityPoint::x);
    const QString name = preset.value(QLatin1String("Name")).toString();
    return Preset{ColourMap(name.isEmpty() ? QStringLiteral("Preset") : name, std::move(points),
                            std::move(opacity), *space),
                  low, high};
}

std::variant<ColourMap::Preset, QString> ColourMap::readParaViewPreset(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
    }
    if (file.size() > kMostPresetBytes) {
        return QStringLiteral("%1 is not a colour preset: at %2 MB it is too large for one")
            .arg(path)
            .arg(file.size() >> 20);
    }
    std::variant<Preset, QString> preset = fromParaViewPreset(file.readAll());
    if (QString* reason = std::get_if<QString>(&preset)) {
        *reason = QStringLiteral("%1 is not a colour preset: %2").arg(path, *reason);
    }
    return preset;
}

QByteArray ColourMap::toParaViewPreset(const Preset& preset) {
    const auto value = [&](double x) { return preset.low + x * (preset.high - preset.low); };
    QJsonArray colours;
    for (const Point& p : preset.map.points()) {
        colours.append(value(p.x));
        colours.append(p.red);
        colours.append(p.green);
        colours.append(p.blue);
    }
    QJsonObject object{{QStringLiteral("Name"), preset.map.name()},
                       {QStringLiteral("ColorSpace"), colourspaces::nameOf(preset.map.space())},
                       {QStringLiteral("RGBPoints"), colours}};
    if (preset.map.hasOpacity()) {
        QJsonArray opacity;
        for (const OpacityPoint& p : preset.map.opacity()) {
            opacity.append(value(p.x));
            opacity.append(p.opacity);
            opacity.append(p.midpoint);
            opacity.append(p.sharpness);
        }
        object.insert(QStringLiteral("Points"), opacity);
    }
    return QJsonDocument(QJsonArray{object}).toJson();
}
