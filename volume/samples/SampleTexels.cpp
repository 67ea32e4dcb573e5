#include "volume/samples/SampleTexels.h"

#include <QtEndian>
#include <cstring>

namespace {

constexpr std::uint16_t kSignBit16 = 0x8000;
constexpr int kSignedShift8 = 32768;
constexpr std::int32_t kSignedShift = 32768;

enum class SampleKind { U16Little, U16Big, S16Little, S16Big, U8, S8 };

SampleKind sampleKind(SampleType type, bool bigEndian) {
    switch (type) {
    case SampleType::UInt8:
        return SampleKind::U8;
    case SampleType::Int8:
        return SampleKind::S8;
    case SampleType::Int16:
        return bigEndian ? SampleKind::S16Big : SampleKind::S16Little;
    default:
        return bigEndian ? SampleKind::U16Big : SampleKind::U16Little;
    }
}

template <SampleKind kind> std::uint16_t texel(const std::byte* sample) {
    if constexpr (kind == SampleKind::U8)
        return static_cast<std::uint8_t>(*sample);
    else if constexpr (kind == SampleKind::S8)
        return static_cast<std::uint16_t>(static_cast<std::int8_t>(*sample) + kSignedShift8);
    else if constexpr (kind == SampleKind::U16Little)
        return qFromLittleEndian<quint16>(sample);
    else if constexpr (kind == SampleKind::U16Big)
        return qFromBigEndian<quint16>(sample);
    else if constexpr (kind == SampleKind::S16Little)
        return qFromLittleEndian<quint16>(sample) ^ kSignBit16;
    else
        return qFromBigEndian<quint16>(sample) ^ kSignBit16;
}

template <SampleKind kind> void convert(const std::byte* samples, std::byte* texels, std::size_t count) {
    constexpr std::size_t kSampleBytes = kind == SampleKind::U8 || kind == SampleKind::S8 ? 1 : 2;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t value = texel<kind>(samples + i * kSampleBytes);
        std::memcpy(texels + i * sizeof value, &value, sizeof value);
    }
}

} // namespace

std::int32_t texelSampleOffset(SampleType type) {
    return type == SampleType::Int8 || type == SampleType::Int16 ? -kSignedShift : 0;
}

void samplesToTexels(SampleType type, bool bigEndian, const std::byte* samples, std::byte* texels,
                     std::size_t count) {
    switch (sampleKind(type, bigEndian)) {
    case SampleKind::U16Little:
        return convert<SampleKind::U16Little>(samples, texels, count);
    case SampleKind::U16Big:
        return convert<SampleKind::U16Big>(samples, texels, count);
    case SampleKind::S16Little:
        return convert<SampleKind::S16Little>(samples, texels, count);
    case SampleKind::S16Big:
        return convert<SampleKind::S16Big>(samples, texels, count);
    case SampleKind::U8:
        return convert<SampleKind::U8>(samples, texels, count);
    case SampleKind::S8:
        return convert<SampleKind::S8>(samples, texels, count);
    }
}
