#pragma once

#include "NrrdHeader.h"
#include "NrrdRefusal.h"

#include <QString>
#include <cstdint>

// How the samples lie in an NRRD data section: their type, byte order and encoding,
// and what precedes them. Built from a header only when every one of these is
// something the viewer can show as written; otherwise the header is refused.
struct NrrdLayout {
    enum class Encoding { Raw, Gzip };

    // "byte skip: -1": the samples are the last bytes of a raw data file.
    static constexpr std::int64_t kSamplesAtEnd = -1;

    int bytesPerSample = 2;
    bool isSigned = false;
    bool bigEndian = false;
    Encoding encoding = Encoding::Raw;
    std::int64_t lineSkip = 0;
    std::int64_t byteSkip = 0;

    static NrrdResult<NrrdLayout> fromHeader(const NrrdHeader& header);

    // "uint16", "int16", "uint8" or "int8".
    QString sampleTypeName() const;
    // What a texel holds minus what was written: signed samples are stored shifted
    // into the unsigned range, so that texel + sampleOffset is the sample as written.
    std::int32_t sampleOffset() const;
};
