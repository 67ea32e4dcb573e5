#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <variant>
#include <vector>

// The OME-NGFF image metadata of a store's root group (0.4 in ".zattrs", 0.5 under
// "ome" in zarr.json's attributes): the first multiscale image's levels of detail, finest
// first, with each level's voxel size along z, y, x from its scale transformations, the
// unit of the space axes, the axes before them (time, channel), where the image is placed,
// and the first channel's display window.
struct OmeMultiscales {
    struct Level {
        QString path;
        std::array<double, 3> scale{1.0, 1.0, 1.0};       // z, y, x, in `spaceUnit`
        std::optional<std::array<double, 3>> translation; // its own, z, y, x
        // A scale transformation gave `scale` (0.3 gives none: the level's shape tells).
        bool scaled = false;
    };

    // Far more levels than halving the longest side allowed down to one voxel gives.
    static constexpr qsizetype kMaxLevels = 40;

    std::vector<Level> levels;
    QString spaceUnit;       // "micrometer", "millimeter" ... ; empty when the axes name none
    QStringList leadingAxes; // the names of the axes before z, y, x ("t", "c")
    std::optional<std::array<double, 3>> translation; // of level 0, z, y, x
    struct Window {
        double start = 0.0;
        double end = 0.0;
    };
    std::optional<Window> window;
    // The rescale of 16-bit samples into the file's values that voxview's own export keeps
    // ("voxview": {"valueScale", "valueOffset"}): value = sample * scale + offset.
    struct Rescale {
        double scale = 1.0;
        double offset = 0.0;
    };
    std::optional<Rescale> rescale;
    QString version;

    // Whether `attributes` (of .zattrs, or zarr.json's "attributes") describe an image.
    static bool present(const QJsonObject& attributes);
    // `rank`: the arrays' number of axes, which the axes and every scale must match.
    static std::variant<OmeMultiscales, QString> parse(const QJsonObject& attributes, std::size_t rank);

    // Millimetres per `unit`, or nothing for a unit that is not a length or is not named.
    static std::optional<double> millimetresPer(const QString& unit);
};
