#include "render/streaming/BrickBuilder.h"

#include "render/streaming/BrickGrid.h"
#include "volume/core/VolumeSize.h"
#include "volume/core/VolumeSource.h"

#include <algorithm>

namespace {

// The voxels (first, second) of the level read from that a slot position along one axis
// reads: the voxel itself at the brick's own level, else the two nearest the centre of the
// block of 2^levelsAbove voxels its voxel covers. `size`: the read level's voxels.
struct Taps {
    std::vector<std::uint64_t> first, second;
};

Taps tapsAlong(std::uint64_t size, std::uint64_t levelVoxels, std::uint64_t brick, const BrickLayout& layout,
               std::uint32_t levelsAbove) {
    const std::uint64_t slot = layout.slotSide();
    const std::int64_t start = static_cast<std::int64_t>(brick * layout.brickSide()) -
                               static_cast<std::int64_t>(BrickLayout::kBorder);
    const std::int64_t lastVoxel = static_cast<std::int64_t>(levelVoxels) - 1;
    const std::uint64_t span = std::uint64_t{1} << levelsAbove;
    Taps taps;
    for (std::uint64_t s = 0; s < slot; ++s) {
        const auto voxel = static_cast<std::uint64_t>(
            std::clamp<std::int64_t>(start + static_cast<std::int64_t>(s), 0, lastVoxel));
        std::uint64_t first = voxel;
        std::uint64_t second = voxel;
        if (levelsAbove > 0) {
            first = std::min(voxel * span + span / 2 - 1, size - 1);
            second = std::min(first + 1, size - 1);
        }
        taps.first.push_back(first);
        taps.second.push_back(second);
    }
    return taps;
}

// The level the source holds that a brick of level `level` reads: the coarsest that halves no
// axis more often than that level does (level 0 where none is so fine).
std::uint32_t readLevelFor(const VolumeSource& source, std::uint32_t level) {
    std::uint32_t read = 0;
    for (std::uint32_t held = 1; held <= source.storedLevels(); ++held) {
        const VolumeSource::LevelShifts shifts = source.levelShifts(held);
        if (std::ranges::any_of(shifts, [level](std::uint32_t shift) { return shift > level; })) {
            break; // each held level halves every axis at least as often as the one before
        }
        read = held;
    }
    return read;
}

} // namespace

std::optional<BrickTexels> buildBrick(const VolumeSource& source, const BrickLayout& layout,
                                      std::array<std::uint64_t, 3> size, const BrickKey& key) {
    const std::array<std::uint64_t, 3>& voxels = layout.voxels(key.level);
    // A level the source holds is copied from its own rows; a coarser one is averaged from
    // the coarsest level it holds (level 0 where it holds none), as level 1 is from level 0,
    // along the axes that level halves less often.
    const std::uint32_t readLevel = readLevelFor(source, key.level);
    const VolumeSource::LevelShifts shifts = source.levelShifts(readLevel);
    const std::array<std::uint64_t, 3> readVoxels = levelVoxels(size, shifts);
    std::array<Taps, 3> taps;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        taps[axis] =
            tapsAlong(readVoxels[axis], voxels[axis], key.brick[axis], layout, key.level - shifts[axis]);
    }
    const bool averages =
        std::ranges::any_of(shifts, [&key](std::uint32_t shift) { return shift < key.level; });
    const std::uint32_t halves = shifts[2] < key.level ? 2 : 1; // slices a slot slice averages
    const std::uint64_t rowVoxels = readVoxels[0];
    const auto readRows = [&](std::uint64_t y, std::uint64_t z, std::uint64_t x, std::uint64_t count,
                              std::uint64_t rows, std::uint16_t* out) {
        return readLevel == 0 ? source.readRows(x, y, z, count, rows, out)
                              : source.readLevelRows(readLevel, x, y, z, count, rows, out);
    };
    const std::uint64_t slot = layout.slotSide();
    const std::uint64_t rowStart = taps[0].first.front();
    const std::uint64_t rowCount = taps[0].second.back() - rowStart + 1;
    // The rows a slice of the slot reads lie between these; read together while the rows
    // between them that are not needed stay few and the span is one the source reads at
    // once, else a pair at a time.
    const std::uint64_t firstRow = taps[1].first.front();
    const std::uint64_t rowSpan = taps[1].second.back() - firstRow + 1;
    const bool wholeSpan =
        rowSpan <= 4 * slot && rowSpan * rowVoxels * kTexelBytes <= VolumeSource::kSpanBytes;
    std::vector<std::uint16_t> rows(rowCount * (wholeSpan ? rowSpan : 2));
    std::vector<std::uint32_t> sums(slot * slot); // one slice of the slot

    BrickTexels brick;
    brick.key = key;
    brick.texels.resize(layout.slotTexels());
    for (std::uint64_t z = 0; z < slot; ++z) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (std::uint32_t half = 0; half < (averages ? halves : 1); ++half) {
            const std::uint64_t zz = half == 0 ? taps[2].first[z] : taps[2].second[z];
            if (wholeSpan && !readRows(firstRow, zz, rowStart, rowCount, rowSpan, rows.data())) {
                return std::nullopt;
            }
            for (std::uint64_t y = 0; y < slot; ++y) {
                const std::uint64_t yy = taps[1].first[y];
                const std::uint16_t* pair = rows.data() + (wholeSpan ? (yy - firstRow) * rowCount : 0);
                if (!wholeSpan &&
                    !readRows(yy, zz, rowStart, rowCount, taps[1].second[y] - yy + 1, rows.data())) {
                    return std::nullopt;
                }
                std::uint16_t* out = brick.texels.data() + (z * slot + y) * slot;
                if (!averages) {
                    for (std::uint64_t x = 0; x < slot; ++x) {
                        out[x] = pair[taps[0].first[x] - rowStart];
                    }
                    continue;
                }
                const std::uint16_t* next = pair + (taps[1].second[y] - yy) * rowCount;
                std::uint32_t* sum = sums.data() + y * slot;
                for (std::uint64_t x = 0; x < slot; ++x) {
                    const std::uint64_t a = taps[0].first[x] - rowStart, b = taps[0].second[x] - rowStart;
                    sum[x] += pair[a] + pair[b] + next[a] + next[b];
                }
                if (half + 1 == halves) {
                    for (std::uint64_t x = 0; x < slot; ++x) {
                        out[x] = static_cast<std::uint16_t>((sum[x] + 2 * halves) / (4 * halves));
                    }
                }
            }
        }
    }
    const auto [minimum, maximum] = std::minmax_element(brick.texels.begin(), brick.texels.end());
    brick.minimum = *minimum;
    brick.maximum = *maximum;
    return brick;
}

std::vector<BrickTexels::Range> cellRanges(const std::vector<std::uint16_t>& texels,
                                           const BrickLayout& layout) {
    constexpr std::uint64_t kCell = BrickGrid::kBrickSide;
    if (layout.brickSide() % kCell != 0) {
        return {};
    }
    const std::uint64_t perSide = layout.brickSide() / kCell;
    const std::uint64_t slot = layout.slotSide();
    std::vector<BrickTexels::Range> cells(perSide * perSide * perSide, {0xFFFF, 0});
    for (std::uint64_t cell = 0; cell < cells.size(); ++cell) {
        const std::array<std::uint64_t, 3> first{BrickLayout::kBorder - 1 + cell % perSide * kCell,
                                                 BrickLayout::kBorder - 1 + cell / perSide % perSide * kCell,
                                                 BrickLayout::kBorder - 1 + cell / perSide / perSide * kCell};
        BrickTexels::Range& range = cells[cell];
        for (std::uint64_t z = first[2]; z < first[2] + kCell + 2; ++z) {
            for (std::uint64_t y = first[1]; y < first[1] + kCell + 2; ++y) {
                const std::uint16_t* row = texels.data() + (z * slot + y) * slot + first[0];
                const auto [low, high] = std::minmax_element(row, row + kCell + 2);
                range.minimum = std::min(range.minimum, *low);
                range.maximum = std::max(range.maximum, *high);
            }
        }
    }
    return cells;
}
