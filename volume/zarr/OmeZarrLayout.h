#pragma once

#include "volume/zarr/ChunkStore.h"
#include "volume/zarr/OmeMultiscales.h"
#include "volume/zarr/ZarrArrayMeta.h"

#include <QString>
#include <array>
#include <optional>
#include <variant>
#include <vector>

// What a store holds, read from its metadata alone: its levels of detail, finest first,
// each an array with its path in the store and its voxel size, and the image's OME-NGFF
// description when it has one. A store that is one bare array (".zarray", or a zarr.json
// of an array) is one level with voxels of 1. Zarr format 3 is tried first, then 2.
struct OmeZarrLayout {
    struct Level {
        QString path; // "" for a store that is one array
        ZarrArrayMeta meta;
        std::array<double, 3> scale{1.0, 1.0, 1.0}; // z, y, x, in the image's unit
    };

    std::vector<Level> levels;
    std::optional<OmeMultiscales> image;

    // The most bytes a metadata document may hold: far more than any real one.
    static constexpr std::uint64_t kMaxMetadataBytes = std::uint64_t{16} << 20;

    // Whether a folder holds a Zarr store's metadata at its top.
    static bool isStoreFolder(const QString& folder);
    // Whether a file's name is that of a store's metadata (zarr.json, .zattrs, .zgroup, .zarray).
    static bool isMetadataName(const QString& fileName);

    static std::variant<OmeZarrLayout, QString> open(const ChunkStore& store);
};
