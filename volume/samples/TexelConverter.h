#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/samples/SampleType.h"

#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <span>

// Turns samples of any common type, in host byte order, into the unsigned 16-bit texels
// the renderer uploads, with the map back to the file's values:
// value = (texel + sampleOffset) * valueScale + valueOffset.
//
// 8- and 16-bit integers go over as they are (signed ones shifted by 32768). Wider
// integers and floating-point samples are scanned for their range first: whole numbers
// that span at most 65536 values keep them exactly (valueScale 1); anything else is
// rescaled linearly so that the smallest finite sample is texel 0 and the largest
// 65535. NaN shows as the lowest value and infinities at the ends of the range; notes
// say so, and say when a rescale happened. A volume without one finite sample is
// refused: there is nothing true to show.
class TexelConverter {
  public:
    struct Texels {
        ByteBuffer data;
        std::int32_t sampleOffset = 0;
        double valueScale = 1.0;
        double valueOffset = 0.0;
        QStringList notes;
    };

    TexelConverter(SampleType type, std::size_t sampleCount, ImportProgress progress = {});

    // `samples` holds at least sampleCount samples.
    ImportResult<Texels> convert(std::span<const std::byte> samples) const;

  private:
    SampleType m_type;
    std::size_t m_sampleCount;
    ImportProgress m_progress;
};
