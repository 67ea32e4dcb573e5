#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/ImportProgress.h"
#include "volume/core/ImportRefusal.h"

#include <QByteArray>
#include <cstddef>

// Inflates compressed NRRD data: the first `skip` inflated bytes are dropped (NRRD's
// "byte skip:" counts inflated bytes) and exactly `need` bytes are kept, never more,
// however much the stream would give. Several concatenated streams (parallel
// compressors write those) read as one. Short or damaged data is refused.
class NrrdInflate {
  public:
    enum class Method { Gzip, Bzip2 };

    NrrdInflate(Method method, std::size_t skip, std::size_t need, ImportProgress progress = {});

    ImportResult<QByteArray> inflate(const ByteBuffer& data) const;

  private:
    ImportResult<QByteArray> gunzip(const ByteBuffer& data) const;
    ImportResult<QByteArray> bunzip(const ByteBuffer& data) const;
    ImportRefusal shortStream(std::size_t produced) const;

    Method m_method;
    std::size_t m_skip;
    std::size_t m_need;
    ImportProgress m_progress;
};
