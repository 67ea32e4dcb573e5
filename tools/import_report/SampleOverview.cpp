#include "SampleOverview.h"

#include <algorithm>
#include <cstring>
#include <limits>

SampleOverview SampleOverview::of(const ByteBuffer& texels, std::int32_t sampleOffset) {
    const std::size_t count = texels.size() / sizeof(std::uint16_t);
    if (count == 0)
        return {};
    std::uint16_t low = std::numeric_limits<std::uint16_t>::max();
    std::uint16_t high = 0;
    std::uint64_t sum = 0; // at most 2^16 per texel: no overflow below 2^48 texels
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t value = 0;
        std::memcpy(&value, texels.data() + i * sizeof value, sizeof value);
        low = std::min(low, value);
        high = std::max(high, value);
        sum += value;
    }
    return {low + sampleOffset, high + sampleOffset,
            static_cast<double>(sum) / static_cast<double>(count) + sampleOffset};
}
