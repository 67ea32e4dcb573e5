#pragma once

#include "volume/core/VolumeSource.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// How many voxels of a volume hold each texel value, counted over every voxel or over an
// even lattice of them (every `stride`-th along each axis), which a histogram drawn at once
// needs: the lattice of a large volume is read in a few milliseconds, where its every voxel
// takes seconds.
class TexelHistogram {
  public:
    // The lattice of a histogram drawn at once holds about this many voxels.
    static constexpr std::uint64_t kPreviewVoxels = std::uint64_t{1} << 18;

    // A sample (texel + sampleOffset) as the file gives it: value = sample · scale + offset.
    struct FileUnits {
        std::int32_t sampleOffset = 0;
        double scale = 1.0;
        double offset = 0.0;
    };

    // Counts the voxels of `source`'s level `level` (of `size` voxels per axis: level 0's, or
    // a coarse level the source holds) on the lattice of `stride`; none when a read fails or
    // `cancelled` says so between slices.
    static std::optional<TexelHistogram> count(const VolumeSource& source,
                                               const std::array<std::uint64_t, 3>& size, std::uint64_t stride,
                                               const std::function<bool()>& cancelled = {},
                                               std::uint32_t level = 0);
    // The stride whose lattice holds at most about `voxels` voxels of a volume of `size`.
    static std::uint64_t strideFor(const std::array<std::uint64_t, 3>& size, std::uint64_t voxels);

    // Where a histogram drawn at once is counted: the coarsest level the source holds with at
    // least kPreviewVoxels voxels (a store's few chunks, where a lattice over level 0 would
    // touch every chunk of it), else level 0, on the stride that keeps about kPreviewVoxels.
    struct Lattice {
        std::uint32_t level = 0;
        std::array<std::uint64_t, 3> size{};
        std::uint64_t stride = 1;
    };
    static Lattice preview(const VolumeSource& source, const std::array<std::uint64_t, 3>& size);

    std::uint64_t stride() const { return m_stride; }
    std::uint64_t total() const { return m_total; }
    // How many counted voxels have a value from low + n · (high − low) / bins up to the
    // next bin's start, n from 0 to bins − 1, values in the file's units; the last bin
    // includes `high`.
    std::vector<std::uint64_t> bins(double low, double high, int bins, const FileUnits& units) const;

  private:
    explicit TexelHistogram(std::uint64_t stride);

    std::uint64_t m_stride;
    std::uint64_t m_total = 0;
    std::vector<std::uint64_t> m_counts; // per texel value
};
