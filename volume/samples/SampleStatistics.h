#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What the window presets need to know of a volume's texels: the exact smallest and
// largest, and the 1st and 99th percentiles, which fit the window to the bulk of the
// data without letting a few outliers (metal, noise) stretch it.
//
// Fed slab by slab while the volume is uploaded, so no page is read twice. Min and max
// see every texel; the percentiles come from a histogram of an even subsample of about
// kHistogramSamples texels, far more than the percentiles need, so that the built-in
// sample's start-up pays little for them.
class SampleStatistics {
  public:
    static constexpr std::uint64_t kHistogramSamples = std::uint64_t{1} << 22;
    static constexpr double kLowShare = 0.01;
    static constexpr double kHighShare = 0.99;

    // Texel values; all zero for a volume without texels.
    struct Summary {
        std::uint16_t min = 0, max = 0;
        std::uint16_t lowPercentile = 0, highPercentile = 0;
    };

    // `voxels`: how many texels the whole volume has, to choose the subsample.
    explicit SampleStatistics(std::uint64_t voxels);

    // Adds `count` texels in host byte order; slabs in any order.
    void addTexels(const std::byte* texels, std::uint64_t count);
    Summary summary() const;

  private:
    // The smallest texel value with more than `share` of the counted texels at or below it.
    std::uint16_t percentile(double share) const;

    std::uint64_t m_stride;
    std::uint64_t m_untilCounted = 0; // texels to pass before the next one counted
    std::uint64_t m_counted = 0;
    std::uint16_t m_min = UINT16_MAX;
    std::uint16_t m_max = 0;
    std::vector<std::uint64_t> m_histogram;
};
