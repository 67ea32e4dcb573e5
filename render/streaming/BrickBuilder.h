#pragma once

#include "render/streaming/BrickLayout.h"

#include <cstdint>
#include <optional>
#include <vector>

class VolumeSource;

// One brick's slot as the atlas takes it: slotSide³ texels, x fastest, and the smallest
// and largest of them. The slot's border makes those bound every trilinear sample inside
// the brick.
struct BrickTexels {
    struct Range {
        std::uint16_t minimum = 0;
        std::uint16_t maximum = 0xFFFF;
        bool operator==(const Range&) const = default;
    };

    BrickKey key;
    std::vector<std::uint16_t> texels;
    std::uint16_t minimum = 0;
    std::uint16_t maximum = 0;
    // The same over each cell of the brick grid's side inside the brick (cellRanges), where
    // the pool keeps them.
    std::vector<Range> cells;
};

// Builds a brick's slot from rows of its source. Beyond the volume the edge voxels repeat,
// as a texture clamped to its edge reads. A level the source holds itself (a store's own
// levels of detail) is copied from that level's rows. A voxel of any other level n > 0 is
// the mean of the 2 × 2 × 2 voxels at its centre of the coarsest level the source holds that
// halves no axis more often than n does (level 0 where it holds none; along an axis both
// halve alike, the voxel itself): one read of a few rows per slot
// row, however coarse the level, so the coarse levels of a volume larger than memory come
// from a small share of its bytes (at the price of some aliasing, which the finer levels
// replace as they arrive). Nothing when the source cannot be read.
std::optional<BrickTexels> buildBrick(const VolumeSource& source, const BrickLayout& layout,
                                      std::array<std::uint64_t, 3> size, const BrickKey& key);

// The smallest and largest texel over each cell of the brick grid's side inside a brick's
// slot, widened by one voxel as the slot holds it, x fastest; none where the brick's side is
// no multiple of a cell's.
std::vector<BrickTexels::Range> cellRanges(const std::vector<std::uint16_t>& texels,
                                           const BrickLayout& layout);
