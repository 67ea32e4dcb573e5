#include "volume/samples/Classification.h"

namespace {

// Truncation to a byte is the 8-bit wrap-around the tables are defined with.
constexpr std::uint8_t lowByte(unsigned value) {
    return static_cast<std::uint8_t>(value & 0xFFu);
}

// Upper bounds (exclusive) of the ranges of classifySample.
constexpr unsigned kFirstBandEnd = 50;
constexpr unsigned kSecondBandEnd = 150;
constexpr unsigned kThirdBandEnd = 200;
constexpr unsigned kFourthBandEnd = 400;
constexpr unsigned kFourthBandShift = 56; // (s + 56) mod 256 == s - 200 across 200..399

// Ranges of classifyHeadSample, in CT units + 1024.
constexpr unsigned kLowEnd = 400;
constexpr unsigned kGapEnd = 900;
constexpr unsigned kFatEnd = 1000;
constexpr unsigned kSoftTissueEnd = 1100;
constexpr unsigned kDenseTissueEnd = 1300;
constexpr unsigned kBoneStart = 1400;
constexpr unsigned kFatShift = 124;        // (s + 124) mod 256 == s - 900 across 900..999
constexpr unsigned kSoftTissueShift = 82;  // (s - 82) mod 256 == s - 850 across 1000..1099
constexpr unsigned kDenseTissueShift = 24; // (s + 24) mod 256 wraps to 0 at s = 1256

} // namespace

// Each function reads as its table: one line per range, the four bytes of that range.

ClassifiedVoxel classifySample(std::uint16_t sample) {
    const unsigned s = sample;
    const std::uint8_t low = lowByte(s);
    if (s < kFirstBandEnd)
        return {low, low, 0, 50};
    if (s < kSecondBandEnd)
        return {0, low, low, 100};
    if (s < kThirdBandEnd)
        return {10, low, low, 110};
    if (s < kFourthBandEnd) {
        const std::uint8_t ramp = lowByte(s + kFourthBandShift);
        return {10, ramp, ramp, 140};
    }
    return {200, 200, 200, 200};
}

ClassifiedVoxel classifyHeadSample(std::uint16_t sample) {
    const unsigned s = sample;
    if (s < kLowEnd)
        return {lowByte(s), lowByte(s), 0, 50};
    if (s < kGapEnd)
        return {0, 0, 0, 0};
    if (s < kFatEnd)
        return {0, 0, lowByte(s + kFatShift), 50};
    if (s < kSoftTissueEnd)
        return {0, 40, lowByte(s - kSoftTissueShift), 150};
    if (s < kDenseTissueEnd) {
        const std::uint8_t ramp = lowByte(s + kDenseTissueShift);
        return {0, ramp, ramp, 150};
    }
    if (s < kBoneStart)
        return {0, 0, 0, 0};
    return {170, 170, 170, 200};
}
