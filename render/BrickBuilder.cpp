#include "BrickBuilder.h"

#include "BrickSource.h"

#include <algorithm>

namespace {

// The level-0 voxels (first, second) a slot position along one axis reads: the voxel
// itself at level 0, else the two nearest the centre of its level-n voxel.
struct Taps {
    std::vector<std::uint64_t> first, second;
};

Taps tapsAlong(std::uint64_t size, std::uint64_t levelVoxels, std::uint64_t brick, const BrickLayout& layout,
               std::uint32_t level) {
    const std::uint64_t slot = layout.slotSide();
    const std::int64_t start = static_cast<std::int64_t>(brick * layout.brickSide()) -
                               static_cast<std::int64_t>(BrickLayout::kBorder);
    const std::int64_t lastVoxel = static_cast<std::int64_t>(levelVoxels) - 1;
    const std::uint64_t span = std::uint64_t{1} << level;
    Taps taps;
    for (std::uint64_t s = 0; s < slot; ++s) {
        const auto voxel = static_cast<std::uint64_t>(
            std::clamp<std::int64_t>(start + static_cast<std::int64_t>(s), 0, lastVoxel));
        std::uint64_t first = voxel;
        std::uint64_t second = voxel;
        if (level > 0) {
            first = std::min(voxel * span + span / 2 - 1, size - 1);
            second = std::min(first + 1, size - 1);
        }
        taps.first.push_back(first);
        taps.second.push_back(second);
    }
    return taps;
}

} // namespace

std::optional<BrickTexels> buildBrick(const BrickSource& source, const BrickLayout& layout,
                                      std::array<std::uint64_t, 3> size, const BrickKey& key) {
    const std::array<std::uint64_t, 3>& voxels = layout.voxels(key.level);
    std::array<Taps, 3> taps;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        taps[axis] = tapsAlong(size[axis], voxels[axis], key.brick[axis], layout, key.level);
    }
    const std::uint64_t slot = layout.slotSide();
    const bool averages = key.level > 0;
    const std::uint64_t rowStart = taps[0].first.front();
    const std::uint64_t rowCount = taps[0].second.back() - rowStart + 1;
    std::vector<std::uint16_t> row(rowCount);
    std::vector<std::uint32_t> sums(slot);

    BrickTexels brick;
    brick.key = key;
    brick.texels.resize(layout.slotTexels());
    for (std::uint64_t z = 0; z < slot; ++z) {
        for (std::uint64_t y = 0; y < slot; ++y) {
            std::uint16_t* out = brick.texels.data() + (z * slot + y) * slot;
            if (!averages) {
                if (!source.readRow(rowStart, taps[1].first[y], taps[2].first[z], rowCount, row.data())) {
                    return std::nullopt;
                }
                for (std::uint64_t x = 0; x < slot; ++x) {
                    out[x] = row[taps[0].first[x] - rowStart];
                }
                continue;
            }
            std::fill(sums.begin(), sums.end(), 0u);
            for (const std::uint64_t zz : {taps[2].first[z], taps[2].second[z]}) {
                for (const std::uint64_t yy : {taps[1].first[y], taps[1].second[y]}) {
                    if (!source.readRow(rowStart, yy, zz, rowCount, row.data())) {
                        return std::nullopt;
                    }
                    for (std::uint64_t x = 0; x < slot; ++x) {
                        sums[x] += row[taps[0].first[x] - rowStart] + row[taps[0].second[x] - rowStart];
                    }
                }
            }
            for (std::uint64_t x = 0; x < slot; ++x) {
                out[x] = static_cast<std::uint16_t>((sums[x] + 4) / 8);
            }
        }
    }
    brick.maximum = *std::max_element(brick.texels.begin(), brick.texels.end());
    return brick;
}
