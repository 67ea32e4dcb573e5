#pragma once

#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/samples/SampleType.h"

#include <QByteArray>
#include <cstddef>
#include <span>

// NRRD data written as text: "hex" spells each byte of the raw data as two hex digits,
// "ascii" (also "text", "txt") each sample as a decimal number. White space separates
// freely; anything else that is not part of a number is refused, as is text that ends
// before the volume does. Text after the last sample the volume needs is ignored.
class NrrdTextData {
  public:
    NrrdTextData(std::size_t sampleCount, ImportProgress progress = {});

    // The raw bytes (in the file's byte order) of sampleCount samples of `bytesPerSample`.
    ImportResult<QByteArray> hexBytes(std::span<const std::byte> text, std::size_t bytesPerSample) const;
    // sampleCount samples of `type` in host byte order. Integers must fit the type;
    // floating-point samples may be "nan" or "inf".
    ImportResult<QByteArray> asciiSamples(std::span<const std::byte> text, SampleType type) const;

  private:
    std::size_t m_sampleCount;
    ImportProgress m_progress;
};
