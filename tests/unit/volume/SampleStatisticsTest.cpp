#include "volume/samples/SampleStatistics.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Every value from `first` on, shuffled, in two slabs as the upload hands them over.
SampleStatistics::Summary summaryOf(std::uint16_t first, std::uint64_t count) {
    std::vector<std::uint16_t> texels(count);
    for (std::uint64_t i = 0; i < count; ++i)
        texels[i] = static_cast<std::uint16_t>(first + i % (UINT16_MAX - first + 1));
    std::shuffle(texels.begin(), texels.end(), std::mt19937(7));
    SampleStatistics statistics(count);
    const std::uint64_t half = count / 2;
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data()), half);
    statistics.addTexels(reinterpret_cast<const std::byte*>(texels.data() + half), count - half);
    return statistics.summary();
}

TEST(SampleStatistics, ExtremesAreExactAndPercentilesCutTheOutermostHundredths) {
    // 10000 texels 5 … 10004: 1 % of them lie below 105, 1 % above 9904.
    const SampleStatistics::Summary small = summaryOf(5, 10000);
    EXPECT_EQ(std::tuple(small.min, small.max, small.lowPercentile, small.highPercentile),
              std::tuple(5, 10004, 105, 9905));
    // Above kHistogramSamples texels the percentiles come from a subsample; the extremes do not.
    const SampleStatistics::Summary large = summaryOf(0, 3 * SampleStatistics::kHistogramSamples + 1);
    EXPECT_EQ(std::tuple(large.min, large.max), std::tuple(0, UINT16_MAX));
    EXPECT_NEAR(large.lowPercentile, 655, 40);
    EXPECT_NEAR(large.highPercentile, 64880, 40);
}

} // namespace
