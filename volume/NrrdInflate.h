#pragma once

#include "ByteBuffer.h"
#include "NrrdProgress.h"
#include "NrrdRefusal.h"

#include <QByteArray>
#include <cstddef>

// Inflates compressed NRRD data: the first `skip` inflated bytes are dropped (NRRD's
// "byte skip:" counts inflated bytes) and exactly `need` bytes are kept, never more,
// however much the stream would give. Several concatenated streams (parallel
// compressors write those) read as one. Short or damaged data is refused.
class NrrdInflate {
  public:
    enum class Method { Gzip, Bzip2 };

    NrrdInflate(Method method, std::size_t skip, std::size_t need, NrrdProgress progress = {});

    NrrdResult<QByteArray> inflate(const ByteBuffer& data) const;

  private:
    NrrdResult<QByteArray> gunzip(const ByteBuffer& data) const;
    NrrdResult<QByteArray> bunzip(const ByteBuffer& data) const;
    NrrdRefusal shortStream(std::size_t produced) const;

    Method m_method;
    std::size_t m_skip;
    std::size_t m_need;
    NrrdProgress m_progress;
};
