#pragma once

#include "VolumeState.h"
#include "gpu/Gpu.h"

#include <QString>
#include <cstdint>
#include <variant>

class ByteBuffer;
class VolumeData;
struct NRRDfmt;

// Turns voxels into a volume the frames can draw: the 16-bit texture, filled slab by
// slab so that a mapped file's pages go back as soon as they are on the GPU, the brick
// grid of the largest texels (built from the same slabs) with its texture, and the
// texels' statistics. For an import also its geometry, how its samples read and the
// display window it opens with. Any thread may upload; the device shares its objects
// with every thread.
class VolumeUpload {
  public:
    // The display window an imported volume opens with, in sample units.
    static constexpr std::int64_t kImportWindowLevel = -10;
    static constexpr std::int64_t kImportWindowWidth = 1300;

    explicit VolumeUpload(gpu::Device& device) : m_device(device) {}

    // The built-in sample's geometry and value units, nothing uploaded yet: they give the
    // frame its proportions even when its voxels cannot be shown.
    static VolumeState sample(const VolumeData& vdata);

    // Uploads `data` as the textures, brick grid and statistics of `volume`, whose sizes
    // it must already hold. False, with the reason, and `volume` unchanged when the
    // voxels cannot be shown (absent or short data, a zero size, a size above the GPU's
    // limit, a texture the GPU cannot make or fill).
    bool upload(const ByteBuffer& data, VolumeState& volume, QString* reason) const;

    // The imported record as a whole volume, uploaded, or why it cannot be shown.
    std::variant<VolumeState, QString> imported(const NRRDfmt& record) const;

  private:
    std::shared_ptr<gpu::Texture> newBrickTexture(const BrickGrid& grid, QString* reason) const;

    gpu::Device& m_device;
};
