#pragma once

#include "render/gpu/Gpu.h"
#include "render/streaming/BrickAtlas.h"
#include "render/streaming/BrickLayout.h"
#include "render/streaming/BrickLoader.h"
#include "render/streaming/BrickPageTable.h"
#include "render/streaming/BrickRanges.h"
#include "render/streaming/BrickResidency.h"
#include "render/streaming/BrickView.h"
#include "render/streaming/BrickVisibility.h"
#include "render/streaming/SampledGrid.h"

#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

class BrickGrid;
class VolumeSource;

// The volume on the GPU as a multi-resolution brick pool: bricks of every level of detail
// (BrickLayout) resident in slots of one atlas texture (BrickAtlas), found by the shader
// through a page table (BrickPageTable). Lives on the GUI thread, which draws with it. It
// composes the parts, each with one job: which bricks a frame needs (BrickVisibility),
// what is known of their ranges (BrickRanges), which brick holds which slot
// (BrickResidency), and the workers that read them (BrickLoader).
//
// Each frame (update) chooses the level its pixels need — at most two voxels per pixel at the
// volume's centre, coarser where the bricks in view would not fit the atlas — and wishes
// for the bricks of that level the rays can meet: inside the clip box and the view, and
// not known to lie below the display window together with all their neighbours (a ray
// samples at most one voxel into a brick it skips; the neighbours' own slots hold those
// samples). Bricks read by the loader's workers go up at most uploadBytes per frame, so
// no frame is long; a brick needs a slot, taken from the brick the frames have needed
// least recently when the atlas is full. The page table then tells, for every brick of
// the frame's level, the slot of its own texels or, until they arrive, of the nearest
// coarser brick resident (the base level always is), or that it cannot show.
// With the camera still and every brick it needs resident the frame samples exactly the
// volume's level-0 voxels, as one texture of the whole volume would.
class BrickPool {
  public:
    struct Budgets {
        // The atlas; llvmpipe's textures live in the process's memory.
        std::uint64_t gpuBytes = std::uint64_t{1} << 30;
        // Bricks read and not yet uploaded.
        std::uint64_t readyBytes = std::uint64_t{32} << 20;
        // Texels uploaded in one frame.
        std::uint64_t uploadBytesPerFrame = std::uint64_t{16} << 20;
        // And time spent on them in one frame.
        std::chrono::milliseconds uploadTimePerFrame{8};
        std::uint64_t brickSide = 32;
        std::size_t threads = 2;
        // Coarse levels made in one pass over a volume read in place and kept in memory
        // (CoarseLevels); 0 builds every coarse brick from level-0 rows. The viewer and the
        // bench give them this share of the RAM budget an import may hold.
        static constexpr std::uint64_t kCoarseShareOfRam = 4;
        std::uint64_t coarseLevelBytes = std::uint64_t{1} << 30;
    };

    // What a frame shows of the volume, as far as the choice of bricks goes.
    using View = BrickView;

    static std::variant<std::unique_ptr<BrickPool>, QString>
    create(gpu::Device& device, std::shared_ptr<const VolumeSource> source, std::array<std::uint64_t, 3> size,
           const Budgets& budgets);
    ~BrickPool();

    // Why a volume of this size can have no pool within these budgets, if it cannot: its
    // page table or its coarsest level does not fit the GPU's largest 3-D texture or the
    // GPU budget. A pure function of the shape, so the import asks it before the volume on
    // show is replaced, and voxview-inspect refuses the same shapes for the same reason.
    static std::optional<QString> refusal(std::array<std::uint64_t, 3> size, const Budgets& budgets,
                                          std::size_t maxTexture3DSize);

    // Takes the ranges of level-0 bricks from a survey of the volume, when its cells are
    // the pool's bricks (each widened by one voxel, as a slot is): bricks that cannot show
    // with all their neighbours are then never read.
    void knowRanges(const BrickGrid& grid);

    // The brick grid the pass over a volume read in place made, once it has finished; null
    // before, and for volumes without such a pass.
    std::shared_ptr<const BrickGrid> passGrid() const { return m_coarse ? m_coarse->grid() : nullptr; }
    // Whether such a pass will hand over a grid.
    bool passSurveys() const { return m_coarse && m_coarse->surveys(); }
    // The pass itself, whose kept levels slice views read as well; null without one.
    std::shared_ptr<const CoarseLevels> pass() const { return m_coarse; }
    // The grid of what the frames sample at the frame's level (SampledGrid): null where that
    // level is too large for one. Made anew when what the page table points to changes.
    std::shared_ptr<const BrickGrid> sampledGrid();
    // Has the bricks read from now on carry the ranges of their cells, which the sampled grid
    // takes where a brick reads its own slot; a volume with a survey has no use for them.
    void keepCellRanges() { m_loader->keepCellRanges(); }

    // Puts bricks of the base level built beforehand (the built-in sample's, made by the
    // build) into the atlas at once, so that frames draw before the loader has read anything.
    // Keys are this pool's layout's; bricks of another level or size are left out.
    void adoptBase(const std::vector<BrickTexels>& bricks);

    // Chooses this frame's level and bricks, uploads bricks that arrived, and rewrites the
    // page table where that changed what the frame samples. True when it did. A view equal
    // to the last one, once every brick it needs is resident, needs the same bricks again:
    // they are not chosen anew (an idle window would spend most of its time on it).
    bool update(const View& view);

    // The base level is resident: frames can draw.
    bool drawable() const { return m_residency.baseMissing() == 0; }
    // Every brick the last view needs at its level is resident.
    bool complete() const { return m_complete; }
    // Whether a brick turned out unreadable (its file changed on disk); the pool shows what
    // it has and goes on reading the others.
    bool failed() const { return m_loader->failed(); }
    // Whether a brick the last view needs is unreadable: that view cannot be completed.
    bool missesUnreadable() const { return m_missesUnreadable; }
    // Changes whenever the texels or page-table entries the frames sample change. A change of
    // level alone leaves it: every level keeps its own entries, so views of one volume drawn at
    // different levels do not make each other redraw.
    std::uint64_t version() const { return m_version; }
    // Texture writes so far: bricks into the atlas, and rewrites of the page table.
    struct Uploads {
        std::uint64_t bricks = 0;
        std::uint64_t pageTables = 0;
    };
    const Uploads& uploads() const { return m_uploads; }
    std::uint32_t level() const { return m_level; }
    const BrickLayout& layout() const { return m_layout; }
    // Slots the atlas has now, and the most it may grow to within the GPU budget.
    std::uint64_t capacity() const { return m_residency.capacity(); }
    std::uint64_t largestCapacity() const { return m_atlas->largestSlotCount(); }
    // Slots in use, the zero slot among them.
    std::uint64_t residentCount() const { return m_residency.usedCount(); }

    gpu::Texture* atlas() const { return m_atlas->texture(); }
    gpu::Texture* pageTable() const { return m_pageTable->texture(); }

  private:
    BrickPool(std::shared_ptr<const VolumeSource> source, std::array<std::uint64_t, 3> size,
              const BrickLayout& layout, const Budgets& budgets);

    // Notes a brick read by the loader and uploads it if this frame's level needs it.
    void arrive(const BrickTexels& brick);
    bool upload(const BrickTexels& brick);
    // A slot for a brick: a free one, one the atlas grows by, or the least recently needed
    // brick's.
    std::optional<std::uint32_t> takeSlot();
    // True when an entry of the frame's level changed.
    bool writePageTable();
    // The brick whose slot a brick of the frame's level reads: its own, or the nearest coarser
    // one resident; none where it reads the zero slot.
    std::optional<BrickKey> shownBy(BrickKey key) const;

    BrickLayout m_layout;
    Budgets m_budgets;
    BrickRanges m_ranges;
    BrickResidency m_residency;
    std::unique_ptr<BrickAtlas> m_atlas;
    std::unique_ptr<BrickPageTable> m_pageTable;
    std::shared_ptr<const CoarseLevels> m_coarse;
    std::unique_ptr<BrickLoader> m_loader;
    SampledGrid m_sampledGrid;
    std::vector<std::vector<SampledGrid::Cells>> m_cells; // per level and brick, once read
    std::shared_ptr<const BrickGrid> m_sampled;
    std::pair<std::uint64_t, std::uint32_t> m_sampledFor; // the version and level it was made for
    std::uint64_t m_demand = 0;                           // slots the last view needs, as far as known

    // Kept between frames, so that a frame allocates nothing once they have grown.
    NeededBricks m_needed;
    std::vector<BrickKey> m_wishes;

    std::uint64_t m_frame = 0;
    std::uint32_t m_level = 0;
    ShownTexels m_shown;
    bool m_pageStale = true;
    bool m_complete = false;
    bool m_missesUnreadable = false;
    std::uint64_t m_version = 0;
    Uploads m_uploads;
    std::optional<View> m_settledFor; // the last view, while all it needs is resident
};
