#include "volume/zarr/OmeMultiscales.h"

#include "volume/zarr/DirectoryStore.h"

#include <QJsonArray>
#include <cmath>

namespace {

// Version 0.5 keeps the image's metadata under "ome"; 0.4 at the top of .zattrs.
QJsonObject imageOf(const QJsonObject& attributes) {
    return attributes.contains(QLatin1String("ome")) ? attributes.value(QLatin1String("ome")).toObject()
                                                     : attributes;
}

// The finite numbers of a transformation's list, one per axis, or nothing.
std::optional<std::vector<double>> numbers(const QJsonValue& value, std::size_t rank) {
    const QJsonArray array = value.toArray();
    if (static_cast<std::size_t>(array.size()) != rank)
        return std::nullopt;
    std::vector<double> out;
    for (const QJsonValue& item : array) {
        if (!item.isDouble() || !std::isfinite(item.toDouble()))
            return std::nullopt;
        out.push_back(item.toDouble());
    }
    return out;
}

// The product of the "scale" entries of a list of transformations (identity where none),
// and the "translation" if any; nothing when one is malformed.
struct Transform {
    std::vector<double> scale;
    std::optional<std::vector<double>> translation;
    bool scaled = false; // a "scale" entry was there
};

std::optional<Transform> transformOf(const QJsonValue& transformations, std::size_t rank) {
    Transform transform{std::vector<double>(rank, 1.0), std::nullopt, false};
    for (const QJsonValue& item : transformations.toArray()) {
        const QJsonObject step = item.toObject();
        const QString type = step.value(QLatin1String("type")).toString();
        if (type == QLatin1String("scale")) {
            const std::optional<std::vector<double>> scale =
                numbers(step.value(QLatin1String("scale")), rank);
            if (!scale)
                return std::nullopt;
            for (std::size_t axis = 0; axis < rank; ++axis)
                transform.scale[axis] *= (*scale)[axis];
            transform.scaled = true;
        } else if (type == QLatin1String("translation")) {
            transform.translation = numbers(step.value(QLatin1String("translation")), rank);
            if (!transform.translation)
                return std::nullopt;
        }
    }
    return transform;
}

std::array<double, 3> spatial(const std::vector<double>& values) {
    std::array<double, 3> out{1.0, 1.0, 1.0};
    const std::size_t count = std::min<std::size_t>(values.size(), 3);
    for (std::size_t i = 0; i < count; ++i)
        out[3 - count + i] = values[values.size() - count + i];
    return out;
}

} // namespace

bool OmeMultiscales::present(const QJsonObject& attributes) {
    return imageOf(attributes).value(QLatin1String("multiscales")).isArray();
}

std::variant<OmeMultiscales, QString> OmeMultiscales::parse(const QJsonObject& attributes, std::size_t rank) {
    const QJsonObject image = imageOf(attributes);
    const QJsonObject first = image.value(QLatin1String("multiscales")).toArray().first().toObject();
    OmeMultiscales out;
    out.version =
        image.value(QLatin1String("version")).toString(first.value(QLatin1String("version")).toString());
    const QJsonArray axes = first.value(QLatin1String("axes")).toArray();
    if (!axes.isEmpty() && static_cast<std::size_t>(axes.size()) != rank)
        return QStringLiteral("its image names %1 axes but its arrays have %2").arg(axes.size()).arg(rank);
    for (qsizetype axis = 0; axis < axes.size(); ++axis) {
        // 0.3 names its axes by strings; 0.4 and later by objects with a type and a unit.
        const QJsonObject described = axes[axis].toObject();
        const QString name =
            axes[axis].isString() ? axes[axis].toString() : described.value(QLatin1String("name")).toString();
        if (axis + 3 < axes.size())
            out.leadingAxes << name;
        else if (out.spaceUnit.isEmpty())
            out.spaceUnit = described.value(QLatin1String("unit")).toString();
    }
    const std::optional<Transform> global =
        transformOf(first.value(QLatin1String("coordinateTransformations")), rank);
    if (!global)
        return QStringLiteral("its image's coordinate transformations are not one number per axis");
    const QJsonArray datasets = first.value(QLatin1String("datasets")).toArray();
    if (datasets.isEmpty() || datasets.size() > kMaxLevels)
        return QStringLiteral("its image has %1 datasets; 1 to %2 can be read")
            .arg(datasets.size())
            .arg(kMaxLevels);
    for (const QJsonValue& item : datasets) {
        const QJsonObject dataset = item.toObject();
        const QString path = dataset.value(QLatin1String("path")).toString();
        if (!DirectoryStore::isSafeKey(path))
            return QStringLiteral("its dataset path \"%1\" does not lie within the store").arg(path);
        const std::optional<Transform> own =
            transformOf(dataset.value(QLatin1String("coordinateTransformations")), rank);
        if (!own)
            return QStringLiteral("the coordinate transformations of dataset %1 are not one number per axis")
                .arg(path);
        std::vector<double> scale = own->scale;
        for (std::size_t axis = 0; axis < rank; ++axis)
            scale[axis] *= global->scale[axis];
        std::optional<std::array<double, 3>> translation;
        if (own->translation)
            translation = spatial(*own->translation);
        if (out.levels.empty())
            out.translation = translation;
        out.levels.push_back({path, spatial(scale), translation, own->scaled || global->scaled});
    }
    const QJsonObject window = image.value(QLatin1String("omero"))
                                   .toObject()
                                   .value(QLatin1String("channels"))
                                   .toArray()
                                   .first()
                                   .toObject()
                                   .value(QLatin1String("window"))
                                   .toObject();
    const QJsonValue start = window.value(QLatin1String("start"));
    const QJsonValue end = window.value(QLatin1String("end"));
    const QJsonObject rescale = attributes.value(QLatin1String("voxview")).toObject();
    const double scale = rescale.value(QLatin1String("valueScale")).toDouble(0.0);
    const QJsonValue offset = rescale.value(QLatin1String("valueOffset"));
    if (scale != 0.0 && offset.isDouble())
        out.rescale = Rescale{scale, offset.toDouble()};
    // A window as wide as the largest doubles has no finite width: it is not used.
    if (start.isDouble() && end.isDouble() && end.toDouble() > start.toDouble() &&
        std::isfinite(end.toDouble() - start.toDouble()))
        out.window = Window{start.toDouble(), end.toDouble()};
    return out;
}

std::optional<double> OmeMultiscales::millimetresPer(const QString& unit) {
    static const std::pair<const char*, double> kUnits[] = {
        {"angstrom", 1e-7},   {"nanometer", 1e-6}, {"micrometer", 1e-3}, {"millimeter", 1.0},
        {"centimeter", 10.0}, {"meter", 1e3},      {"picometer", 1e-9},  {"decimeter", 100.0},
    };
    for (const auto& [name, millimetres] : kUnits)
        if (unit == QLatin1String(name))
            return millimetres;
    return std::nullopt;
}
