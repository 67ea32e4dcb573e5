#pragma once

#include <cstdint>

// The linear map that carries real sample values (a rescale slope that is not 1,
// floats, 32-bit integers) into the 16-bit texture and back:
// value = texel * scale + offset. The range [low, high] fills 0 ... 65535, so the
// texture keeps as much of the values' precision as 16 bits can.
struct LinearRescale {
    double scale = 1.0;
    double offset = 0.0;

    // Both bounds finite. A range of one value maps it to texel 0. The scale is positive
    // and finite for any finite range, even one wider than the largest double
    // (-1e308 ... 1e308) or narrower than 65535 of the smallest (0 ... 5e-324).
    static LinearRescale forRange(double low, double high);

    // (value - offset) / scale, without overflowing where value - offset would.
    static double position(double value, double scale, double offset);

    // The nearest texel; values outside the range are clamped to its ends, NaN goes to 0.
    std::uint16_t texel(double value) const;
};
