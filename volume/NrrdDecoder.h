#pragma once

#include "ByteBuffer.h"
#include "NrrdLayout.h"
#include "NrrdProgress.h"
#include "NrrdRefusal.h"

#include <cstddef>
#include <cstdint>

// Turns an NRRD data section into the voxel buffer the renderer uploads: exactly
// sampleCount unsigned 16-bit texels in host byte order. Skips the lines and bytes the
// header asks for, inflates gzip data without ever producing more than the volume
// needs, swaps big-endian samples and shifts signed ones into the unsigned range.
// Raw little-endian unsigned 16-bit data is handed on as a view of the source, without
// a copy. Bytes after the samples are ignored. Runs on any thread; reports progress and
// stops when asked to.
class NrrdDecoder {
  public:
    struct Voxels {
        ByteBuffer data;
        std::int32_t sampleOffset = 0;
    };

    NrrdDecoder(const NrrdLayout& layout, std::size_t sampleCount, NrrdProgress progress = {});

    NrrdResult<Voxels> decode(const ByteBuffer& source) const;

  private:
    NrrdResult<ByteBuffer> rawSamples(const ByteBuffer& data) const;
    NrrdResult<QByteArray> inflateSamples(const ByteBuffer& data) const;
    NrrdResult<QByteArray> toTexels(std::span<const std::byte> samples, QByteArray texels) const;
    bool isTexelLayout(const std::byte* samples) const;

    NrrdLayout m_layout;
    std::size_t m_sampleCount;
    std::size_t m_sampleBytes;
    NrrdProgress m_progress;
};
