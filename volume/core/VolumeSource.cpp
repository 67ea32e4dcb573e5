#include "volume/core/VolumeSource.h"

#include "volume/core/VolumeSize.h"

#include <cstring>

bool VolumeSource::readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                            std::uint64_t rows, std::uint16_t* out) const {
    for (std::uint64_t row = 0; row < rows; ++row) {
        if (!readRow(x, y + row, z, count, out + row * count)) {
            return false;
        }
    }
    return true;
}

bool VolumeSource::readLevelRows(std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                 std::uint64_t, std::uint16_t*) const {
    return false;
}

bool DecodedVolumeSource::readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                                  std::uint16_t* out) const {
    const std::uint64_t offset = ((z * m_height + y) * m_width + x) * kTexelBytes;
    const std::uint64_t bytes = count * kTexelBytes;
    if (offset + bytes > m_texels.size()) {
        return false;
    }
    std::memcpy(out, m_texels.data() + offset, bytes);
    return true;
}
