#pragma once

#include "volume/core/ByteBuffer.h"

#include <cstdint>

// Smallest, largest and mean sample of a voxel buffer, in the units the samples were
// written in (texel + sampleOffset), as the viewer's window interprets them.
struct SampleOverview {
    std::int32_t min = 0;
    std::int32_t max = 0;
    double mean = 0.0;

    // texels: unsigned 16-bit values in host byte order; an empty buffer gives zeros.
    static SampleOverview of(const ByteBuffer& texels, std::int32_t sampleOffset);
};
