#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"
#include "volume/nrrd/NrrdLayout.h"
#include "volume/samples/TexelConverter.h"

#include <QByteArray>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <vector>

// Turns NRRD data sections into the voxel buffer the renderer uploads: exactly
// sampleCount unsigned 16-bit texels in host byte order. Skips the lines and bytes the
// header asks for, inflates gzip and bzip2 data without ever producing more than the
// volume needs, reads hex and ascii text, swaps big-endian samples and shifts signed
// 8- and 16-bit ones into the unsigned range; wider and floating-point samples go
// through TexelConverter's rescale. Raw little-endian unsigned 16-bit data in one file
// is handed on as a view of the source, without a copy. Bytes after the samples are
// ignored. Runs on any thread; reports progress and stops when asked to.
class NrrdDecoder {
  public:
    // The texels and how they map back to the file's values.
    using Voxels = TexelConverter::Texels;

    NrrdDecoder(const NrrdLayout& layout, std::size_t sampleCount, ImportProgress progress = {});

    ImportResult<Voxels> decode(const ByteBuffer& source) const;
    // The volume spread over several data files, in order, each holding an equal share
    // of the samples and read with the same layout.
    ImportResult<Voxels> decode(const std::vector<ByteBuffer>& files) const;

  private:
    // One file's samples: a view of raw data, or bytes decoded into memory.
    struct Samples {
        ByteBuffer view;
        QByteArray owned;
        bool isOwned = false;
    };
    ImportResult<Samples> samplesOf(const ByteBuffer& file, std::size_t count,
                                    const ImportProgress& progress) const;
    ImportResult<ByteBuffer> rawSamples(const ByteBuffer& data, std::size_t bytes) const;
    ImportResult<Voxels> toVoxels(Samples samples, const ImportProgress& progress) const;
    bool isTexelLayout(const std::byte* samples) const;
    bool samplesAreBigEndian() const;

    NrrdLayout m_layout;
    std::size_t m_sampleCount;
    ImportProgress m_progress;
};
