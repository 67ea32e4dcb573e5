#include "volume/samples/SampleType.h"

std::size_t sampleTypeBytes(SampleType type) {
    switch (type) {
    case SampleType::UInt8:
    case SampleType::Int8:
        return 1;
    case SampleType::UInt16:
    case SampleType::Int16:
        return 2;
    case SampleType::UInt32:
    case SampleType::Int32:
    case SampleType::Float32:
        return 4;
    case SampleType::UInt64:
    case SampleType::Int64:
    case SampleType::Float64:
        return 8;
    }
    return 0;
}

QString sampleTypeName(SampleType type) {
    switch (type) {
    case SampleType::UInt8:
        return QStringLiteral("uint8");
    case SampleType::Int8:
        return QStringLiteral("int8");
    case SampleType::UInt16:
        return QStringLiteral("uint16");
    case SampleType::Int16:
        return QStringLiteral("int16");
    case SampleType::UInt32:
        return QStringLiteral("uint32");
    case SampleType::Int32:
        return QStringLiteral("int32");
    case SampleType::UInt64:
        return QStringLiteral("uint64");
    case SampleType::Int64:
        return QStringLiteral("int64");
    case SampleType::Float32:
        return QStringLiteral("float32");
    case SampleType::Float64:
        return QStringLiteral("float64");
    }
    return {};
}

bool isTextureSampleType(SampleType type) {
    return sampleTypeBytes(type) <= 2;
}
