#pragma once

#include "volume/samples/SampleType.h"

#include <cstddef>
#include <cstdint>

// How 8- and 16-bit samples become texels, the same whether they were decoded into
// memory or are read in place: host byte order, signed samples shifted by +32768 so that
// their order survives in an unsigned texture (texel + sampleOffset is the sample).

// The record's sampleOffset for samples of `type`: -32768 for signed ones, else 0.
std::int32_t texelSampleOffset(SampleType type);

// Converts `count` samples of `type` (UInt8, Int8, UInt16 or Int16) stored in the given
// byte order. Works forward, each texel written after its own sample was read, so
// `texels` may be the samples' own memory (16-bit samples) or start `count` bytes before
// them (8-bit samples widened in the buffer that receives the texels).
void samplesToTexels(SampleType type, bool bigEndian, const std::byte* samples, std::byte* texels,
                     std::size_t count);
