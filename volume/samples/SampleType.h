#pragma once

#include <QString>
#include <cstddef>

// The numeric types volume files store their samples in.
enum class SampleType { UInt8, Int8, UInt16, Int16, UInt32, Int32, UInt64, Int64, Float32, Float64 };

std::size_t sampleTypeBytes(SampleType type);
// "uint16", "int32", "float32" ...
QString sampleTypeName(SampleType type);
// Fits the 16-bit texture as it is: no rescale, no value map beyond the sign shift.
bool isTextureSampleType(SampleType type);
