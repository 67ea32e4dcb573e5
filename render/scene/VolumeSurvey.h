#pragma once

#include "render/gpu/Gpu.h"
#include "render/scene/VolumeState.h"
#include "render/streaming/BrickPool.h"

#include <QString>
#include <array>
#include <cstdint>
#include <stop_token>
#include <variant>

class ByteBuffer;
class VolumeData;
struct VolumeRecord;

// Makes a volume ready to be shown without touching the GPU, so any thread may do it: its
// geometry, how its samples read and the display window it opens with, and a survey of
// its voxels — the brick grid of the largest texels and the texels' statistics — read
// slab by slab so that a mapped file's pages go back as soon as they are surveyed. The
// voxels reach the GPU later, brick by brick, through the renderer's brick pool.
class VolumeSurvey {
  public:
    // The display window an imported volume opens with, in sample units.
    static constexpr std::int64_t kImportWindowLevel = -10;
    static constexpr std::int64_t kImportWindowWidth = 1300;

    struct Survey {
        std::shared_ptr<const BrickGrid> bricks;
        SampleStatistics::Summary texels;
    };

    // The built-in sample's geometry, value units and voxels, not surveyed yet: they give
    // the frame its proportions and its first bricks at once.
    static VolumeState sample(const VolumeData& vdata);

    // The grid and statistics of whole texels in memory (width × height × depth, packed);
    // no grid when `stop` is requested before the last slab.
    static Survey survey(const ByteBuffer& data, std::array<std::uint64_t, 3> size,
                         const std::stop_token& stop = {});

    // The imported record as a volume to show, surveyed, or why it cannot be shown
    // (absent or short data, a zero size, a volume whose coarsest level the GPU budget
    // cannot hold, an import cancelled through `stop` while it was surveyed).
    static std::variant<VolumeState, QString> imported(const VolumeRecord& record,
                                                       const BrickPool::Budgets& budgets,
                                                       std::size_t maxTexture3DSize,
                                                       const std::stop_token& stop = {});

    // The grid's levels as a texture for the shader; null, with the reason, when the GPU
    // cannot make it.
    static std::shared_ptr<gpu::Texture> gridTexture(gpu::Device& device, const BrickGrid& grid,
                                                     QString* reason);
    // Writes the grid's levels into such a texture, made for a grid of the same size; false,
    // with the reason, when the upload fails.
    static bool uploadGrid(gpu::Texture& texture, const BrickGrid& grid, QString* reason);
};
