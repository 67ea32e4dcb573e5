#pragma once

#include <array>
#include <cstdint>

// Transfer tables that turn one 16-bit sample into four display bytes (byte 0 to
// byte 3 of a classified voxel). The bytes are computed in 8-bit arithmetic, so
// some ranges wrap around: a ramp that starts at 0 at the lower end of its range.
using ClassifiedVoxel = std::array<std::uint8_t, 4>;

// For the small 64 x 64 x 93 volume read by VolumeData::initWithFileAtLocation.
ClassifiedVoxel classifySample(std::uint16_t sample);

// For the 256 x 256 x 113 CT head slices read by VolumeData::initWithFileAtLocation2
// (samples in CT units + 1024: air and soft tissue below 1300, bone from 1400).
ClassifiedVoxel classifyHeadSample(std::uint16_t sample);
