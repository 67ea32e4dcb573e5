#pragma once

#include "volume/samples/LinearRescale.h"
#include "volume/samples/SampleType.h"

#include <cstddef>
#include <cstdint>

// How a Zarr array's samples become texels: 8- and 16-bit integers as every reader makes
// them (signed ones shifted by +32768); wider integers and floats through a linear map fixed
// once for the whole store (LinearRescale), since chunks are decoded one at a time in any
// order and must all agree.
struct ZarrTexelMap {
    SampleType type = SampleType::UInt16;
    bool bigEndian = false;
    LinearRescale rescale; // wide samples only

    // One sample as a number, `sample` pointing at its stored bytes.
    double value(const std::byte* sample) const;
    // The texel a sample of `value` becomes (a fill value, or a sample just read).
    std::uint16_t texelOf(double value) const;
    void convert(const std::byte* samples, std::size_t count, std::uint16_t* texels) const;
};
