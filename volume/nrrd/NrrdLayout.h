#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/nrrd/NrrdHeader.h"
#include "volume/samples/SampleType.h"

#include <QString>
#include <cstdint>

// How the samples lie in an NRRD data section: their type, byte order and encoding,
// and what precedes them. Built from a header only when every one of these is
// something the viewer can show as written; otherwise the header is refused.
struct NrrdLayout {
    enum class Encoding { Raw, Gzip, Bzip2, Ascii, Hex };

    // "byte skip: -1": the samples are the last bytes of a raw data file.
    static constexpr std::int64_t kSamplesAtEnd = -1;

    SampleType sampleType = SampleType::UInt16;
    bool bigEndian = false;
    Encoding encoding = Encoding::Raw;
    std::int64_t lineSkip = 0;
    std::int64_t byteSkip = 0;

    static ImportResult<NrrdLayout> fromHeader(const NrrdHeader& header);

    int bytesPerSample() const { return static_cast<int>(sampleTypeBytes(sampleType)); }
    // "uint16", "int16", "float32" ...
    QString sampleTypeName() const { return ::sampleTypeName(sampleType); }
    // Whether the data is the bytes of the samples (raw or compressed) rather than text
    // that spells them; only bytes have a byte order.
    bool isBinary() const { return encoding != Encoding::Ascii; }
};
