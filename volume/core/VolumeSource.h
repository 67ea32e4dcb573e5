#pragma once

#include "volume/core/ByteBuffer.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>

// Where the voxels of a volume are read from when they are needed, a piece at a time,
// rather than held whole: the renderer's brick loader asks for rows of level-0 texels
// from its worker threads and builds its bricks of every level from them. Texels are
// what the texture holds: unsigned 16-bit, host byte order (signed volumes offset by
// +32768, as VolumeRecord describes).
//
// The kinds: DecodedVolumeSource (an import decoded into memory, the built-in sample's
// map), InPlaceVolumeSource (volume/files: raw samples read from their files as needed);
// a chunked store, local or remote, is one more. The renderer knows only this interface.
//
// Implementations are read from several threads at once and must be safe for that.
class VolumeSource {
  public:
    using LevelShifts = std::array<std::uint32_t, 3>;
    virtual ~VolumeSource() = default;

    // Copies the `count` texels of row (y, z) from x on into `out`. The caller keeps
    // x + count <= width, y < height, z < depth. False when the voxels cannot be read now
    // (a file that shrank, went away or was replaced, an I/O error).
    virtual bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                         std::uint16_t* out) const = 0;
    // The same for `rows` consecutive rows from y on, one after the other in `out`. A source
    // whose every read has a fixed cost (a system call) reads them at once when the bytes
    // from the first to the last are at most kSpanBytes; callers keep to that, or else ask
    // only for the rows they need.
    static constexpr std::uint64_t kSpanBytes = std::uint64_t{1} << 18;
    virtual bool readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                          std::uint64_t rows, std::uint16_t* out) const;
    // Coarse levels of detail the source holds itself (a multiresolution store), 1 ..
    // storedLevels(), each coarser than the one before. 0 when it holds none.
    virtual std::uint32_t storedLevels() const { return 0; }
    // How many times held level n halves level 0 along x, y and z: it has ceil(size / 2^shift)
    // voxels along each axis, each standing for the 2^shift level-0 voxels it covers there.
    // Microscopy stores often halve x and y alone, their slices being few and thick.
    virtual LevelShifts levelShifts(std::uint32_t level) const { return {level, level, level}; }
    // Rows of such a level, as readRows reads level 0, coordinates and counts in that level's
    // voxels. False when the level is not held or its voxels cannot be read now.
    virtual bool readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                               std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const;
    // The name of the file a read last failed in, for the user to be told which; empty when
    // none has failed or the voxels are not read from files.
    virtual QString unreadableFile() const { return {}; }
    // Whether a read that failed may succeed later without the volume being opened again (a
    // web server that stops answering for a while), so that its bricks are asked for again;
    // a file that changed on disk stays unreadable until the user reloads it.
    virtual bool failuresPass() const { return false; }
};

// The voxels along x, y and z of a level that halves `size` by `shifts`, rounded up.
inline std::array<std::uint64_t, 3> levelVoxels(const std::array<std::uint64_t, 3>& size,
                                                const VolumeSource::LevelShifts& shifts) {
    std::array<std::uint64_t, 3> voxels{};
    for (std::size_t axis = 0; axis < voxels.size(); ++axis) {
        voxels[axis] = (size[axis] + (std::uint64_t{1} << shifts[axis]) - 1) >> shifts[axis];
    }
    return voxels;
}

// Texels already in memory (a decoded import, the built-in sample's map), x fastest,
// rows and slices packed.
class DecodedVolumeSource final : public VolumeSource {
  public:
    DecodedVolumeSource(ByteBuffer texels, std::uint64_t width, std::uint64_t height)
        : m_texels(std::move(texels)), m_width(width), m_height(height) {}

    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override;

    const ByteBuffer& texels() const { return m_texels; }

  private:
    ByteBuffer m_texels;
    std::uint64_t m_width, m_height;
};
