#pragma once

#include "render/slice/SliceGeometry.h"

#include <cstdint>
#include <vector>

// How the slices of a thick slab become one picture: the largest, the smallest or the mean
// texel of each line across the slab.
enum class SlabMode : std::uint8_t { Mip, Minip, Average };

// What a slice view asks to see: slice `index` across `axis`, or the slab of `slabSlices`
// slices centred on it (those inside the volume); `index` and `slabSlices` count level-0
// voxels. From `level` > 0 the slice through it is read from a coarse level the source holds
// itself (a store's), each texel standing for the voxels that level halves it from.
struct SliceRequest {
    SliceAxis axis = SliceAxis::Axial;
    std::uint64_t index = 0;
    std::uint64_t slabSlices = 1;
    SlabMode slab = SlabMode::Mip;
    std::uint32_t level = 0;
    bool operator==(const SliceRequest&) const = default;
};

// One slice's texels at its request's level (unsigned 16-bit, as the volume's texture holds
// them), laid out as the picture shows them (SliceGeometry of that level), row after row.
struct SliceImage {
    SliceRequest request;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::vector<std::uint16_t> texels;

    std::uint16_t at(std::uint64_t column, std::uint64_t row) const { return texels[row * width + column]; }
};
