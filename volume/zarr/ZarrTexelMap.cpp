#include "volume/zarr/ZarrTexelMap.h"

#include "volume/samples/SampleTexels.h"

#include <QtEndian>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

template <typename T> T load(const std::byte* at, bool bigEndian) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                                    std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint16_t>>;
    Bits bits{};
    std::memcpy(&bits, at, sizeof bits);
    bits = bigEndian ? qFromBigEndian(bits) : qFromLittleEndian(bits);
    return std::bit_cast<T>(bits);
}

} // namespace

double ZarrTexelMap::value(const std::byte* sample) const {
    switch (type) {
    case SampleType::UInt8:
        return static_cast<double>(static_cast<std::uint8_t>(*sample));
    case SampleType::Int8:
        return static_cast<double>(static_cast<std::int8_t>(*sample));
    case SampleType::UInt16:
        return load<std::uint16_t>(sample, bigEndian);
    case SampleType::Int16:
        return load<std::int16_t>(sample, bigEndian);
    case SampleType::UInt32:
        return load<std::uint32_t>(sample, bigEndian);
    case SampleType::Int32:
        return load<std::int32_t>(sample, bigEndian);
    case SampleType::Float32:
        return load<float>(sample, bigEndian);
    case SampleType::Float64:
        return load<double>(sample, bigEndian);
    case SampleType::UInt64:
        return static_cast<double>(load<std::uint64_t>(sample, bigEndian));
    case SampleType::Int64:
        return static_cast<double>(load<std::int64_t>(sample, bigEndian));
    }
    return 0.0;
}

std::uint16_t ZarrTexelMap::texelOf(double value) const {
    if (!isTextureSampleType(type))
        return rescale.texel(value);
    if (!std::isfinite(value))
        return 0;
    const double shifted = value - static_cast<double>(texelSampleOffset(type));
    return static_cast<std::uint16_t>(std::clamp(std::round(shifted), 0.0, static_cast<double>(UINT16_MAX)));
}

void ZarrTexelMap::convert(const std::byte* samples, std::size_t count, std::uint16_t* texels) const {
    if (isTextureSampleType(type)) {
        samplesToTexels(type, bigEndian, samples, reinterpret_cast<std::byte*>(texels), count);
        return;
    }
    const std::size_t bytes = sampleTypeBytes(type);
    for (std::size_t i = 0; i < count; ++i)
        texels[i] = rescale.texel(value(samples + i * bytes));
}
