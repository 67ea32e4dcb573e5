#include "volume/samples/SampleStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr std::size_t kTexelValues = std::size_t{UINT16_MAX} + 1;

} // namespace

SampleStatistics::SampleStatistics(std::uint64_t voxels)
    : m_stride(std::max<std::uint64_t>(voxels / kHistogramSamples, 1)), m_histogram(kTexelValues, 0) {}

void SampleStatistics::addTexels(const std::byte* texels, std::uint64_t count) {
    // One pass for the extremes over plain values (which vectorises), then the subsample.
    std::uint16_t low = m_min, high = m_max;
    constexpr std::uint64_t kChunk = 4096;
    std::uint16_t chunk[kChunk];
    for (std::uint64_t first = 0; first < count; first += kChunk) {
        const std::uint64_t n = std::min(kChunk, count - first);
        std::memcpy(chunk, texels + first * sizeof(std::uint16_t), n * sizeof(std::uint16_t));
        for (std::uint64_t i = 0; i < n; ++i) {
            low = std::min(low, chunk[i]);
            high = std::max(high, chunk[i]);
        }
        std::uint64_t i = m_untilCounted;
        for (; i < n; i += m_stride) {
            ++m_histogram[chunk[i]];
            ++m_counted;
        }
        m_untilCounted = i - n;
    }
    m_min = low;
    m_max = high;
}

std::uint16_t SampleStatistics::percentile(double share) const {
    const auto wanted = static_cast<std::uint64_t>(std::floor(share * static_cast<double>(m_counted)));
    std::uint64_t below = 0;
    for (std::size_t value = 0; value < kTexelValues; ++value) {
        below += m_histogram[value];
        if (below > wanted) {
            return static_cast<std::uint16_t>(value);
        }
    }
    return m_max;
}

SampleStatistics::Summary SampleStatistics::summary() const {
    if (m_counted == 0) {
        return {};
    }
    return {m_min, m_max, percentile(kLowShare), percentile(kHighShare)};
}
