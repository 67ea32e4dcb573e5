#include "LogCapture.h"
#include "RecordingGpu.h"
#include "TestVolumes.h"
#include "render/display/ColourMap.h"
#include "render/slice/SliceGeometry.h"
#include "render/slice/SliceSampler.h"
#include "render/streaming/BrickBuilder.h"
#include "render/streaming/BrickGrid.h"
#include "render/streaming/BrickLoader.h"
#include "render/streaming/BrickPool.h"
#include "render/streaming/BrickRanges.h"
#include "render/streaming/BrickVisibility.h"
#include "render/streaming/CoarseLevels.h"
#include "render/streaming/PassLevelsSource.h"
#include "render/streaming/SampledGrid.h"
#include "volume/core/VolumeSource.h"

#include <QTest>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <set>
#include <vector>

namespace {

// 64³ voxels in bricks of 8 (slots of 12³ texels): level 0 has 8³ bricks, the base level 1
// 4³. Each voxel holds the number of the base brick it lies in, from 1, so a slot's centre
// tells whose texels it holds. Reads wait while the gate is closed; the first x of each is
// noted (along x each brick's slot starts elsewhere).
struct GatedSource final : VolumeSource {
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::unique_lock lock(mutex);
        starts.insert(x);
        opened.wait(lock, [this] { return open; });
        for (std::uint64_t i = 0; i < count; ++i)
            out[i] = static_cast<std::uint16_t>(1 + (x + i) / 16 + 4 * (y / 16) + 16 * (z / 16));
        return true;
    }
    void setOpen(bool value) {
        std::lock_guard lock(mutex);
        open = value;
        opened.notify_all();
    }
    mutable std::mutex mutex;
    mutable std::condition_variable opened;
    mutable std::set<std::uint64_t> starts;
    bool open = true;
};

constexpr std::uint64_t kSlotBytes = 12 * 12 * 12 * 2;
constexpr std::uint64_t kBaseSlots = 1 + 64; // the zero slot and the base level

class BrickPoolPolicy : public testing::Test {
  protected:
    void make(std::uint64_t slotCount) {
        m_device->options().keepTexels = true;
        m_pool = std::get<std::unique_ptr<BrickPool>>(BrickPool::create(
            *m_device, m_source, {64, 64, 64}, {.gpuBytes = slotCount * kSlotBytes, .brickSide = 8}));
    }
    ~BrickPoolPolicy() override { m_source->setOpen(true); }

    // A view of the level-0 bricks x0 ≤ x < x1 with y = z = 0, or of level 1 when they
    // are more than the atlas holds beside the base level.
    static BrickPool::View view(std::uint32_t x0, std::uint32_t x1, std::uint32_t y1 = 1) {
        BrickPool::View v{.camera = {0.0f, 0.0f, -2.0f},
                          .viewportHeight = 512,
                          .clipLow = {x0 / 8.0f, 0.0f, 0.0f},
                          .clipHigh = {x1 / 8.0f, y1 / 8.0f, 0.125f}};
        v.viewProjection.columns[3] = {0.0f, 0.0f, 1.0f, 1.0f};
        return v;
    }
    void settle(const BrickPool::View& v) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return m_pool->update(v), m_pool->complete(); }, 30000));
    }

    // What the brick's page-table entry shows, as uploaded: the base brick whose texels
    // its slot holds, and their level.
    std::pair<int, int> shown(const BrickKey& key) const {
        const recording::TextureRecord table = m_device->texture(*m_pool->pageTable());
        const recording::TextureRecord atlas = m_device->texture(*m_pool->atlas());
        const auto index = [](const gpu::TextureDescriptor& d, std::size_t x, std::size_t y, std::size_t z) {
            return (z * d.height + y) * d.width + x;
        };
        const auto& o = m_pool->layout().pageOrigin(key.level);
        const std::uint16_t* e = &table.texels[4 * index(table.descriptor, o[0] + key.brick[0],
                                                         o[1] + key.brick[1], o[2] + key.brick[2])];
        return {atlas.texels[index(atlas.descriptor, e[0] * 12u + 6, e[1] * 12u + 6, e[2] * 12u + 6)], e[3]};
    }
    // What a level-0 brick shows: its own texels (level 0) or its parent's (level 1).
    static std::pair<int, int> own(std::uint32_t x) { return {1 + x / 2, 0}; }
    static std::pair<int, int> parents(std::uint32_t x) { return {1 + x / 2, 1}; }

    std::shared_ptr<recording::Device> m_device = std::make_shared<recording::Device>();
    std::shared_ptr<GatedSource> m_source = std::make_shared<GatedSource>();
    std::unique_ptr<BrickPool> m_pool;
};

// Four slots beside the base level: bricks 4 and 5 take those of brick 1 (needed longest
// ago) and of 2 or 3, never one of the base level, which then still stands in for them all.
TEST_F(BrickPoolPolicy, EvictsTheBrickNeededLeastRecentlyAndNeverTheBaseLevel) {
    make(kBaseSlots + 4);
    settle(view(0, 2));
    settle(view(2, 4));
    settle(view(0, 1));
    settle(view(4, 6));
    EXPECT_EQ(shown({0, {0, 0, 0}}), own(0));
    EXPECT_EQ(shown({0, {1, 0, 0}}), parents(1));
    EXPECT_NE(shown({0, {2, 0, 0}}) == own(2), shown({0, {3, 0, 0}}) == own(3));
    EXPECT_EQ(shown({0, {4, 0, 0}}), own(4));
    EXPECT_EQ(shown({0, {5, 0, 0}}), own(5));
    settle(view(0, 8, 8)); // 64 bricks: the base level
    ASSERT_EQ(m_pool->level(), 1u);
    for (std::uint64_t index = 0; index < 64; ++index)
        EXPECT_EQ(shown(m_pool->layout().key(1, index)), std::make_pair(static_cast<int>(index) + 1, 1));

    // Two views of the volume at levels 0 and 1, drawn in turn once their bricks are in: each
    // level keeps its entries, so neither view's frame changes what the other samples.
    settle(view(4, 6));
    const std::uint64_t version = m_pool->version();
    for (int frame = 0; frame < 3; ++frame) {
        m_pool->update(view(0, 8, 8));
        EXPECT_EQ(m_pool->level(), 1u);
        m_pool->update(view(4, 6));
        EXPECT_EQ(m_pool->level(), 0u);
    }
    EXPECT_EQ(m_pool->version(), version);
}

// Until a brick arrives its entry points at its parent's slot, then at its own; the
// entries that changed are all that go up.
TEST_F(BrickPoolPolicy, ShowsTheParentUntilABrickArrives) {
    make(kBaseSlots + 4);
    settle(view(0, 0));
    m_source->setOpen(false);
    for (int frame = 0; frame < 3; ++frame)
        m_pool->update(view(0, 2));
    EXPECT_FALSE(m_pool->complete());
    EXPECT_EQ(shown({0, {0, 0, 0}}), parents(0));
    EXPECT_EQ(shown({0, {2, 0, 0}}), parents(2));
    const std::size_t written = m_device->texture(*m_pool->pageTable()).uploads.size();
    m_source->setOpen(true);
    settle(view(0, 2));
    // Only the entries of the bricks that arrived go up again, not their level's 512.
    const std::vector<recording::Upload> uploads = m_device->texture(*m_pool->pageTable()).uploads;
    ASSERT_GT(uploads.size(), written);
    for (std::size_t i = written; i < uploads.size(); ++i)
        EXPECT_LE(uploads[i].region.size.width * uploads[i].region.size.height, 2u) << i;
    EXPECT_EQ(shown({0, {0, 0, 0}}), own(0));
    EXPECT_EQ(shown({0, {1, 0, 0}}), own(1));
    EXPECT_EQ(shown({0, {2, 0, 0}}), parents(2));
}

// The atlas starts with 72 slots. When it cannot grow, a view needing more bricks than
// they hold is drawn from the base level, one that fits from its own bricks; the failure is
// told once.
TEST_F(BrickPoolPolicy, KeepsDrawingWhatFitsWhenTheAtlasCannotGrow) {
    make(200);
    ASSERT_EQ(m_pool->capacity(), 72u);
    settle(view(0, 0));
    m_device->options().textureError = "out of memory";
    LogCapture log;
    settle(view(0, 8, 2)); // 16 bricks
    EXPECT_EQ(m_pool->largestCapacity(), 72u);
    EXPECT_EQ(m_pool->level(), 1u);
    settle(view(0, 7));
    EXPECT_EQ(m_pool->level(), 0u);
    for (std::uint32_t x = 0; x < 7; ++x)
        EXPECT_EQ(shown({0, {x, 0, 0}}), own(x)) << x;
    EXPECT_EQ(log.count("cannot grow"), 1);
}

// Which shapes a GPU of 2048 texels per side can hold, told from the shape alone before
// the volume on show is replaced: rows, slices and tall stacks that fit are accepted.
TEST(VolumeShape, OnlyShapesWhosePageTableExceedsTheTextureAreRefused) {
    const struct {
        std::uint64_t width, height, depth;
        const char* refusal; // nullptr: accepted
    } shapes[] = {{512, 512, 1, nullptr},
                  {4096, 1, 1, nullptr},
                  {8, 8, 20000, nullptr},
                  {512, 512, 40000, nullptr}, // levels stacked along x: a page table of 32 x 16 x 1250
                  {512, 512, 70000, "page table needs 33 x 16 x 2188 entries"},
                  {1u << 26, 1, 1, "too long for this GPU"}};
    for (const auto& shape : shapes) {
        const std::optional<QString> refusal =
            BrickPool::refusal({shape.width, shape.height, shape.depth}, BrickPool::Budgets{}, 2048);
        ASSERT_EQ(refusal.has_value(), shape.refusal != nullptr) << shape.depth;
        EXPECT_TRUE(!refusal || refusal->contains(QString::fromLatin1(shape.refusal))) << shape.refusal;
    }
}

// Zeros, but the first `failures` reads from slice 40 on (the upper brick's alone) fail:
// a file being rewritten, or one cut short for good.
struct FlakySource final : VolumeSource {
    explicit FlakySource(int count, bool passing = false) : failures(count), passes(passing) {}
    bool failuresPass() const override { return passes; }
    bool readRow(std::uint64_t, std::uint64_t, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::fill_n(out, count, 0);
        return z < 40 || failures.fetch_sub(1) <= 0;
    }
    mutable std::atomic<int> failures;
    bool passes;
};

// One worker reads the failing brick first: it arrives when a later attempt succeeds, and
// the brick wished after it arrives either way.
TEST(BrickLoader, AFailedBrickIsReadAgainAFewTimesAndTheOthersStillArrive) {
    const BrickKey bad{0, {0, 0, 1}}, good{0, {0, 0, 0}};
    for (const int failures : {BrickLoader::kReadAttempts - 1, BrickLoader::kReadAttempts}) {
        const bool recovers = failures < BrickLoader::kReadAttempts;
        BrickLoader loader(std::make_shared<FlakySource>(failures), BrickLayout({64, 64, 64}, 32),
                           {64, 64, 64}, 1, std::uint64_t{16} << 20);
        loader.wish({bad, good});
        std::vector<BrickKey> arrived;
        const auto goodArrived = [&] {
            while (const std::optional<BrickTexels> brick = loader.take())
                arrived.push_back(brick->key);
            return !arrived.empty() && arrived.back() == good;
        };
        ASSERT_TRUE(QTest::qWaitFor(goodArrived, 30000));
        EXPECT_EQ(arrived, (recovers ? std::vector{bad, good} : std::vector{good})) << failures;
        EXPECT_EQ(loader.failed(), !recovers);
        EXPECT_EQ(loader.wish({bad, good}), recovers ? 0u : 1u);
    }
}

// A server that stopped answering: its brick, given up, is wished for again once the pause
// has passed and arrives when the server is back, and the loader no longer counts as failed.
// A file that failed stays unreadable however long one waits.
TEST(BrickLoader, ABrickGivenUpIsReadAgainOnlyWhenTheSourcesFailuresPass) {
    const BrickKey bad{0, {0, 0, 1}};
    for (const bool passes : {true, false}) {
        BrickLoader loader(std::make_shared<FlakySource>(BrickLoader::kReadAttempts, passes),
                           BrickLayout({64, 64, 64}, 32), {64, 64, 64}, 1, std::uint64_t{16} << 20);
        loader.wish({bad});
        ASSERT_TRUE(QTest::qWaitFor([&] { return loader.failed(); }, 30000));
        EXPECT_EQ(loader.wish({bad}), 1u) << "asked again before the pause";
        QTest::qWait(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(BrickLoader::kResumePause).count()));
        loader.wish({bad});
        const bool arrived = QTest::qWaitFor([&] { return loader.take().has_value(); }, passes ? 30000 : 500);
        EXPECT_EQ(arrived, passes);
        EXPECT_EQ(loader.failed(), !passes);
    }
}

// Zeros; notes the first x of every read (along x each brick's slot starts elsewhere), and
// holds the first brick's reads until a second brick is being read: two are read at once.
struct ReadStartSource final : VolumeSource {
    bool readRow(std::uint64_t x, std::uint64_t, std::uint64_t, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::fill_n(out, count, 0);
        std::unique_lock lock(mutex);
        starts.insert(x);
        secondStarted.notify_all();
        secondStarted.wait(lock, [this] { return starts.size() >= 2; });
        return true;
    }
    mutable std::mutex mutex;
    mutable std::condition_variable secondStarted;
    mutable std::set<std::uint64_t> starts;
};

// Two workers, a row of five bricks wished, room for two read and not taken: the workers
// stop after two, and start one more once one is taken.
TEST(BrickLoader, StopsReadingAheadWhenTheReadyBricksFillTheirBudget) {
    const BrickLayout layout({256, 32, 32}, 32);
    const auto source = std::make_shared<ReadStartSource>();
    const auto started = [&] {
        std::lock_guard lock(source->mutex);
        return source->starts.size();
    };
    BrickLoader loader(source, layout, {256, 32, 32}, 2, 2 * layout.slotTexels() * sizeof(std::uint16_t));
    loader.wish({{0, {0, 0, 0}}, {0, {1, 0, 0}}, {0, {2, 0, 0}}, {0, {3, 0, 0}}, {0, {4, 0, 0}}});
    for (std::size_t taken = 0; taken < 2; ++taken) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return started() >= 2 + taken; }, 30000));
        QTest::qWait(200); // time for a read too many
        EXPECT_EQ(started(), 2 + taken);
        ASSERT_TRUE(QTest::qWaitFor([&] { return loader.take().has_value(); }, 30000));
    }
}

// Two workers, a base brick and a finer one wished for: the finer one waits until the base
// brick is read, then both arrive.
TEST(BrickLoader, FinerBricksWaitWhileTheBaseLevelIsRead) {
    const BrickLayout layout({64, 64, 64}, 8);
    ASSERT_GT(layout.baseLevel(), 0u);
    const auto source = std::make_shared<GatedSource>();
    source->setOpen(false);
    const auto started = [&] {
        std::lock_guard lock(source->mutex);
        return source->starts.size();
    };
    BrickLoader loader(source, layout, {64, 64, 64}, 2, std::uint64_t{16} << 20);
    const BrickKey base{layout.baseLevel(), {0, 0, 0}}, finer{0, {2, 0, 0}};
    loader.wish({base, finer});
    ASSERT_TRUE(QTest::qWaitFor([&] { return started() >= 1; }, 30000));
    QTest::qWait(200); // time for the other worker to begin the finer brick
    EXPECT_EQ(started(), 1u);
    source->setOpen(true);
    std::vector<BrickKey> arrived;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            while (const std::optional<BrickTexels> brick = loader.take())
                arrived.push_back(brick->key);
            return arrived.size() == 2;
        },
        30000));
    EXPECT_EQ(arrived, (std::vector{base, finer}));
}

struct GridCase {
    const char* name;
    std::uint64_t width, height, depth;
    std::uint64_t slabSlices; // how many slices each addSlices call gets
};

// The obvious definition: the largest and the smallest texel of a cell of `side` voxels
// widened by one voxel on every side, clipped to the volume; 0 and 65535 for the padding
// cells, which hold no voxel.
std::pair<std::uint16_t, std::uint16_t> bruteForceRange(const GridCase& v,
                                                        const std::vector<std::uint16_t>& texels,
                                                        std::uint64_t side, std::uint64_t bx,
                                                        std::uint64_t by, std::uint64_t bz) {
    if (bx * side >= v.width || by * side >= v.height || bz * side >= v.depth)
        return {0, 65535};
    // The cell's first and one-past-last voxel along an axis, widened and clipped.
    const auto span = [side](std::uint64_t brick, std::uint64_t size) {
        return std::pair(brick == 0 ? 0 : brick * side - 1, std::min((brick + 1) * side + 1, size));
    };
    const auto [x0, x1] = span(bx, v.width);
    const auto [y0, y1] = span(by, v.height);
    const auto [z0, z1] = span(bz, v.depth);
    std::pair<std::uint16_t, std::uint16_t> range{0, 65535};
    for (std::uint64_t z = z0; z < z1; ++z)
        for (std::uint64_t y = y0; y < y1; ++y)
            for (std::uint64_t x = x0; x < x1; ++x) {
                const std::uint16_t texel = texels[(z * v.height + y) * v.width + x];
                range = {std::max(range.first, texel), std::min(range.second, texel)};
            }
    return range;
}

class BrickGridOf : public testing::TestWithParam<GridCase> {};

TEST_P(BrickGridOf, EveryLevelHoldsTheRangesOfItsWidenedCells) {
    const GridCase& c = GetParam();
    // Mostly one tissue, a few voxels of every value, so brick ranges differ from brick to brick.
    std::mt19937 random(7);
    std::vector<std::uint16_t> texels(c.width * c.height * c.depth);
    for (std::uint16_t& texel : texels)
        texel = static_cast<std::uint16_t>(random() % 50 == 0 ? random() % 65536 : 30000 + random() % 16);
    BrickGrid grid(c.width, c.height, c.depth);
    // Slabs from the last to the first: the grid must not depend on their order.
    for (std::uint64_t slab = (c.depth + c.slabSlices - 1) / c.slabSlices; slab-- > 0;) {
        const std::uint64_t z = slab * c.slabSlices;
        grid.addSlices(reinterpret_cast<const std::byte*>(&texels[z * c.width * c.height]), z,
                       std::min(c.slabSlices, c.depth - z));
    }
    grid.finish();

    const BrickGrid::Level& base = grid.level(0);
    const auto bricks = [](std::uint64_t voxels) {
        return (voxels + BrickGrid::kBrickSide - 1) / BrickGrid::kBrickSide;
    };
    // Padded to whole cells of every level, and long enough for all of them, by at most 8
    // cells per brick (and the 8 of the smallest grid): a row or a slice keeps a small grid.
    EXPECT_LE(base.width * base.height * base.depth,
              8 * bricks(c.width) * bricks(c.height) * bricks(c.depth) + 8);
    EXPECT_GE(std::max({base.width, base.height, base.depth}), 8u);
    EXPECT_GE(base.width * BrickGrid::kBrickSide, c.width);
    // Each coarser level halves every side (a side of one stays one); its cells hold the
    // ranges of cells twice as large.
    for (std::size_t index = 0; index < BrickGrid::kLevels; ++index) {
        const BrickGrid::Level& level = grid.level(index);
        const BrickGrid::Level& fine = grid.level(index > 0 ? index - 1 : 0);
        for (const auto& [f, k] : {std::pair(fine.width, level.width), std::pair(fine.height, level.height),
                                   std::pair(fine.depth, level.depth)})
            ASSERT_TRUE(index == 0 || f == 2 * k || (f == 1 && k == 1))
                << "level " << index << ": " << f << " to " << k;
        for (std::uint64_t z = 0; z < level.depth; ++z)
            for (std::uint64_t y = 0; y < level.height; ++y)
                for (std::uint64_t x = 0; x < level.width; ++x)
                    ASSERT_EQ(std::pair(level.maxima[(z * level.height + y) * level.width + x],
                                        level.minima[(z * level.height + y) * level.width + x]),
                              bruteForceRange(c, texels, BrickGrid::kBrickSide << index, x, y, z))
                        << "level " << index << " cell " << x << "," << y << "," << z;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BrickGridOf,
                         testing::Values(GridCase{"OddSizesOneSliceAtATime", 21, 13, 17, 1},
                                         GridCase{"OddSizesSlabsAcrossBrickBoundaries", 21, 13, 17, 5},
                                         GridCase{"WholeBricksOneSlab", 32, 16, 24, 24},
                                         GridCase{"SmallerThanOneBrick", 3, 5, 7, 7},
                                         GridCase{"Row", 300, 1, 1, 1}, GridCase{"TallColumn", 3, 2, 100, 7}),
                         [](const auto& row) { return std::string(row.param.name); });

// The ranges of the grid's cells inside bricks. The grid a store's frames skip by,
// made of them where the page table points every brick of level 0 at its own slot, is the
// survey's grid of the same texels, cell for cell and level for level: a slot's border
// repeats the volume's edge voxels as the survey clips its widened cells there. A brick
// without cells stands for all of its own.
TEST(SampledGrid, MadeOfTheBricksCellsItIsTheSurveysGrid) {
    for (const std::array<std::uint32_t, 3> size :
         {std::array<std::uint32_t, 3>{45, 27, 17}, std::array<std::uint32_t, 3>{48, 24, 33}}) {
        SCOPED_TRACE(size[0]);
        const VolumeRecord volume = testvolumes::record(
            size[0], size[1], size[2], [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
                const std::uint32_t hash = (x * 73856093u) ^ (y * 19349663u) ^ (z * 83492791u);
                return static_cast<std::uint16_t>(hash % 53 == 0 ? hash % 65536 : 30000 + hash % 16);
            });
        const DecodedVolumeSource source(volume.data, size[0], size[1]);
        BrickGrid survey(size[0], size[1], size[2]);
        survey.addSlices(volume.data.data(), 0, size[2]);
        survey.finish();

        const std::array<std::uint64_t, 3> voxels{size[0], size[1], size[2]};
        const BrickLayout layout(voxels, 2 * BrickGrid::kBrickSide);
        SampledGrid sampled(layout);
        std::vector<SampledGrid::Range> ranges(layout.brickCount(0));
        std::vector<SampledGrid::Cells> cells(ranges.size());
        for (std::uint64_t index = 0; index < ranges.size(); ++index) {
            const std::optional<BrickTexels> brick = buildBrick(source, layout, voxels, layout.key(0, index));
            ASSERT_TRUE(brick);
            ranges[index] = {brick->minimum, brick->maximum};
            cells[index] =
                std::make_shared<const std::vector<SampledGrid::Range>>(cellRanges(brick->texels, layout));
            ASSERT_EQ(cells[index]->size(), 8u);
        }
        const std::shared_ptr<const BrickGrid> grid = sampled.update(0, ranges, cells);
        ASSERT_TRUE(grid);
        for (std::size_t level = 0; level < BrickGrid::kLevels; ++level) {
            EXPECT_EQ(grid->level(level).maxima, survey.level(level).maxima) << level;
            EXPECT_EQ(grid->level(level).minima, survey.level(level).minima) << level;
        }
        EXPECT_EQ(sampled.update(0, ranges, cells), grid);
        cells.front().reset();
        const std::shared_ptr<const BrickGrid> coarser = sampled.update(0, ranges, cells);
        EXPECT_EQ(coarser->level(0).maxima.front(), ranges.front().maximum);
        EXPECT_EQ(coarser->level(0).minima.front(), ranges.front().minimum);

        // At level 1 the grid counts level-1 voxels: every texel a ray there can sample lies
        // in the range of the cell over it.
        const BrickLayout fine(voxels, BrickGrid::kBrickSide);
        ASSERT_GE(fine.baseLevel(), 1u);
        SampledGrid coarse(fine);
        std::vector<SampledGrid::Range> levelRanges(fine.brickCount(1));
        std::vector<SampledGrid::Cells> levelCells(levelRanges.size());
        std::vector<BrickTexels> bricks;
        for (std::uint64_t index = 0; index < levelRanges.size(); ++index) {
            bricks.push_back(*buildBrick(source, fine, voxels, fine.key(1, index)));
            levelRanges[index] = {bricks.back().minimum, bricks.back().maximum};
            levelCells[index] = std::make_shared<const std::vector<SampledGrid::Range>>(
                cellRanges(bricks.back().texels, fine));
        }
        const std::shared_ptr<const BrickGrid> levelOne = coarse.update(1, levelRanges, levelCells);
        ASSERT_TRUE(levelOne);
        EXPECT_EQ(levelOne->shift(), 1u);
        const BrickGrid::Level& cellsOf = levelOne->level(0);
        const std::uint64_t side = fine.brickSide(), slot = fine.slotSide();
        for (const BrickTexels& brick : bricks) {
            for (std::uint64_t z = 0; z < side; ++z)
                for (std::uint64_t y = 0; y < side; ++y)
                    for (std::uint64_t x = 0; x < side; ++x) {
                        const std::array<std::uint64_t, 3> at{brick.key.brick[0] * side + x,
                                                              brick.key.brick[1] * side + y,
                                                              brick.key.brick[2] * side + z};
                        if (at[0] >= fine.voxels(1)[0] || at[1] >= fine.voxels(1)[1] ||
                            at[2] >= fine.voxels(1)[2])
                            continue;
                        const std::uint16_t texel =
                            brick.texels[((z + BrickLayout::kBorder) * slot + y + BrickLayout::kBorder) *
                                             slot +
                                         x + BrickLayout::kBorder];
                        const std::uint64_t cell =
                            (at[2] / BrickGrid::kBrickSide * cellsOf.height + at[1] / BrickGrid::kBrickSide) *
                                cellsOf.width +
                            at[0] / BrickGrid::kBrickSide;
                        ASSERT_LE(cellsOf.minima[cell], texel);
                        ASSERT_GE(cellsOf.maxima[cell], texel);
                    }
        }
    }
}

// 64³ voxels in bricks of 8: level 0 has 8³ bricks, level 1 (the base) 4³.
const BrickLayout kLayout({64, 64, 64}, 8);

struct Visibility {
    const char* name;
    float clipHighX = 1.0f;
    float shiftX = 0.0f;
    std::int64_t threshold = -1;
    bool band = false;         // a curve that shows only levels 0.4 to 0.6 of a window of 0 to 400
    bool hotCorner = false;    // ranges known: all 50 but brick (3, 3, 3), 200
    std::uint64_t room = 1000; // slots beside the base level
    std::uint32_t viewportHeight = 512;
    std::uint32_t level = 0;
    std::size_t needed = 0;
    std::size_t uploads = 512; // level-0 bricks that must be resident once read
};

TEST(BrickVisibility, NeedsTheBricksTheRaysCanMeetNearestFirst) {
    const Visibility cases[] = {
        {.name = "AllInView", .needed = 512},
        {.name = "OutsideTheClipBox", .clipHighX = 0.5f, .needed = 256},
        // Clip x beyond w from world x > -0.3 on: the two columns of bricks at
        // x < -0.25 remain.
        {.name = "OutsideTheFrustum", .shiftX = 1.3f, .needed = 128},
        // Only the hot brick's neighbourhood can reach above the window.
        {.name = "BelowTheWindowWithAllNeighbours",
         .threshold = 100,
         .hotCorner = true,
         .needed = 27,
         .uploads = 27},
        {.name = "UnknownRangesMayShow", .threshold = 100, .needed = 512, .uploads = 0},
        // Every brick lies above the floor; only the hot one's neighbourhood reaches the band.
        {.name = "BelowTheCurvesBandWithAllNeighbours",
         .threshold = 10,
         .band = true,
         .hotCorner = true,
         .needed = 27,
         .uploads = 27},
        {.name = "AboveTheFloorWithoutTheCurve", .threshold = 10, .hotCorner = true, .needed = 512},
        {.name = "UnknownRangesMayShowUnderTheCurve",
         .threshold = 10,
         .band = true,
         .needed = 512,
         .uploads = 0},
        {.name = "MinimumAndMeanNeedEverything", .threshold = -1, .hotCorner = true, .needed = 512},
        // 512 bricks do not fit 511 slots: the base level's 64 do.
        {.name = "CoarserWhenTheAtlasIsTooSmall", .room = 511, .level = 1, .needed = 64},
        // A pixel spans 2 level-0 voxels at the centre.
        {.name = "CoarserWhenPixelsAreLarge", .viewportHeight = 64, .level = 1, .needed = 64},
    };
    for (const Visibility& c : cases) {
        SCOPED_TRACE(c.name);
        BrickRanges ranges(kLayout);
        for (std::uint64_t index = 0; c.hotCorner && index < kLayout.brickCount(0); ++index) {
            const BrickKey key = kLayout.key(0, index);
            const std::uint16_t value = key.brick == std::array<std::uint32_t, 3>{3, 3, 3} ? 200 : 50;
            ranges.set(key, value, value);
        }
        ShownTexels shown{.threshold = c.threshold, .floor = 0.0, .width = 400.0};
        if (c.band) {
            const ColourMap map(QStringLiteral("Band"), {{0.0, 1.0, 1.0, 1.0}, {1.0, 1.0, 1.0, 1.0}},
                                {{0.0, 0.0}, {0.4, 0.0}, {0.5, 1.0}, {0.6, 0.0}, {1.0, 0.0}});
            shown.curve = std::make_shared<const OpacityRanges>(map.table());
        }
        // Clip space is the world moved by (shiftX, 0, 1): the volume ([-0.5, 0.5]³) lies in
        // front of the near plane, inside the frustum unless shifted sideways.
        BrickView view{.camera = {0.0f, 0.0f, -2.0f},
                       .viewportHeight = c.viewportHeight,
                       .clipHigh = {c.clipHighX, 1.0f, 1.0f},
                       .shown = shown};
        view.viewProjection.columns[3] = {c.shiftX, 0.0f, 1.0f, 1.0f};

        std::size_t uploads = 0;
        for (std::uint64_t index = 0; index < kLayout.brickCount(0); ++index)
            uploads += ranges.mustUpload(kLayout.key(0, index), shown) ? 1 : 0;
        EXPECT_EQ(uploads, c.uploads);

        NeededBricks needed;
        chooseLevel(kLayout, view, ranges, c.room, needed);
        EXPECT_EQ(needed.level, c.level);
        ASSERT_EQ(needed.bricks.size(), c.needed);
        float last = 0.0f;
        for (const BrickKey& key : needed.bricks) {
            const auto box = kLayout.textureBox(key);
            EXPECT_LT(box[0][0], c.clipHighX);
            float distance = 0.0f; // from the camera, at (0.5, 0.5, -1.5) in texture coordinates
            for (std::size_t axis = 0; axis < 3; ++axis)
                distance += std::pow(0.5f * (box[0][axis] + box[1][axis]) - (axis == 2 ? -1.5f : 0.5f), 2.0f);
            EXPECT_GE(distance, last - 1e-5f);
            last = distance;
        }
    }
}

using Size = std::array<std::uint64_t, 3>;
using Texel = std::function<std::uint16_t(std::uint64_t, std::uint64_t, std::uint64_t)>;

// Texels of a function of the voxel; slices from `failFrom` on cannot be read.
struct FunctionSource final : VolumeSource {
    FunctionSource(Texel function, std::uint64_t unreadableFrom = ~std::uint64_t{0})
        : texel(std::move(function)), failFrom(unreadableFrom) {}
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        for (std::uint64_t i = 0; i < count; ++i) {
            out[i] = texel(x + i, y, z);
        }
        return z < failFrom;
    }
    Texel texel;
    std::uint64_t failFrom;
};

std::uint64_t levelBytes(const BrickLayout& layout, std::uint32_t level) {
    const Size& voxels = layout.voxels(level);
    return voxels[0] * voxels[1] * voxels[2] * sizeof(std::uint16_t);
}

// Level 1 voxels are the means of the 2 × 2 × 2 level-0 voxels they cover whichever way
// they are made, so its bricks from the pass equal those read from rows for any texels.
// Texels constant over aligned pairs of voxels, and linear across them, make level 1 the
// pairs' values and level 2 their exact means both ways too (rows take the 2 × 2 × 2
// voxels at a coarse voxel's centre, one from each pair). Odd sides repeat their edge.
TEST(CoarseLevels, BricksOfThePassEqualThoseReadFromRows) {
    const std::pair<const char*, Texel> fields[] = {
        {"noise",
         [](auto x, auto y, auto z) {
             return static_cast<std::uint16_t>((x * 7919 + y * 104729 + z * 1299709) % 65521);
         }},
        {"pairs",
         [](auto x, auto y, auto z) {
             return static_cast<std::uint16_t>(8 * (x / 2) + 16 * (y / 2) + 32 * (z / 2));
         }},
    };
    for (const Size size : {Size{64, 64, 64}, Size{67, 41, 45}}) {
        for (const auto& [name, field] : fields) {
            const auto source = std::make_shared<FunctionSource>(field);
            const BrickLayout layout(size, 4); // levels 0 to 2, the base
            const std::unique_ptr<CoarseLevels> coarse =
                CoarseLevels::start(source, layout, ~std::uint64_t{0});
            ASSERT_TRUE(coarse);
            ASSERT_EQ(coarse->firstKept(), 1u);
            ASSERT_TRUE(QTest::qWaitFor([&] { return coarse->finished(); }, 30000));
            // The grid surveyed on the way is the one of all the slices at once.
            std::vector<std::uint16_t> texels(size[0] * size[1] * size[2]);
            for (std::uint64_t z = 0; z < size[2]; ++z) {
                source->readRows(0, 0, z, size[0], size[1], texels.data() + z * size[0] * size[1]);
            }
            BrickGrid whole(size[0], size[1], size[2]);
            whole.addSlices(reinterpret_cast<const std::byte*>(texels.data()), 0, size[2]);
            whole.finish();
            ASSERT_TRUE(coarse->grid());
            EXPECT_EQ(coarse->grid()->level(0).maxima, whole.level(0).maxima) << name;
            for (std::uint32_t level = 1; level <= (std::string(name) == "pairs" ? 2u : 1u); ++level) {
                for (std::uint64_t index = 0; index < layout.brickCount(level); ++index) {
                    const BrickKey key = layout.key(level, index);
                    ASSERT_TRUE(coarse->ready(key));
                    const std::optional<BrickTexels> fromPass = coarse->build(key);
                    const std::optional<BrickTexels> fromRows = buildBrick(*source, layout, size, key);
                    ASSERT_TRUE(fromPass && fromRows);
                    EXPECT_EQ(fromPass->key, key);
                    EXPECT_EQ(fromPass->maximum, fromRows->maximum);
                    ASSERT_EQ(fromPass->texels, fromRows->texels)
                        << name << " " << size[0] << "x" << size[1] << "x" << size[2] << " level " << level
                        << " brick " << index;
                }
            }
        }
    }
}

// Slice views read the finest level the pass keeps, as a level of the volume's own, only once the
// pass has read every slice: a slab across x from it holds the means of the pairs it covers
// (for texels constant over pairs, the pairs' values). A pass that could not read its file
// offers none.
TEST(PassLevelsSource, OffersThePassesFinestLevelOnlyOnceThePassHasFinished) {
    const Size size{40, 24, 16};
    const Texel pairs = [](auto x, auto y, auto z) {
        return static_cast<std::uint16_t>(8 * (x / 2) + 16 * (y / 2) + 32 * (z / 2));
    };
    const BrickLayout layout(size, 4);
    const auto failing = std::make_shared<FunctionSource>(pairs, 9);
    const std::shared_ptr<const CoarseLevels> failed =
        CoarseLevels::start(failing, layout, ~std::uint64_t{0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed->failed(); }, 30000));
    const PassLevelsSource unfinished(failing, failed);
    EXPECT_EQ(unfinished.storedLevels(), 0u);
    std::uint16_t texel = 0;
    EXPECT_FALSE(unfinished.readLevelRows(1, 0, 0, 0, 1, 1, &texel));

    const auto source = std::make_shared<FunctionSource>(pairs);
    const std::shared_ptr<const CoarseLevels> pass = CoarseLevels::start(source, layout, ~std::uint64_t{0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return pass->finished(); }, 30000));
    const PassLevelsSource levels(source, pass);
    ASSERT_EQ(levels.storedLevels(), 1u);
    EXPECT_EQ(levels.levelShifts(1), (VolumeSource::LevelShifts{1, 1, 1}));
    const auto sampled = SliceSampler::sample(levels, size, {SliceAxis::Sagittal, 13, 4, SlabMode::Mip, 1});
    ASSERT_TRUE(std::holds_alternative<SliceImage>(sampled));
    const SliceImage& slab = std::get<SliceImage>(sampled);
    const SliceGeometry shape(SliceAxis::Sagittal, levelVoxels(size, levels.levelShifts(1)));
    // Level-0 slices 12 to 15 are level-1 slices 6 and 7: the larger is 7's.
    for (std::uint64_t z = 0; z < size[2] / 2; ++z) {
        for (std::uint64_t y = 0; y < size[1] / 2; ++y) {
            const auto [column, row] = shape.pixel({7, y, z});
            ASSERT_EQ(slab.at(column, row), 8 * 7 + 16 * y + 32 * z) << "y " << y << " z " << z;
        }
    }
}

// The levels kept are the finest that fit the budget together with every coarser one.
TEST(CoarseLevels, KeepsTheFinestLevelsThatFitTheBudgetWithAllCoarserOnes) {
    const Size size{64, 48, 40};
    const BrickLayout layout(size, 4); // levels 0 to 2, the base
    const auto source = std::make_shared<FunctionSource>([](auto, auto, auto) { return std::uint16_t{1}; });
    std::uint64_t fromLevel2 = 0;
    for (std::uint32_t level = 2; level < layout.levelCount(); ++level) {
        fromLevel2 += levelBytes(layout, level);
    }
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2)->firstKept(), 2u);
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2 + levelBytes(layout, 1) - 1)->firstKept(), 2u);
    EXPECT_EQ(CoarseLevels::start(source, layout, fromLevel2 + levelBytes(layout, 1))->firstKept(), 1u);
    EXPECT_FALSE(CoarseLevels::start(source, layout, levelBytes(layout, layout.levelCount() - 1) - 1));
}

// A slice the pass cannot read stops it: what it made before stays, the bricks it did not
// reach no longer wait for it, and the loader reads them from the rows (which fail too).
TEST(CoarseLevels, AnUnreadableSliceStopsThePassAndItsBricksAreReadFromRows) {
    const Size size{32, 32, 64};
    const BrickLayout layout(size, 8); // levels 0 and 1, the base
    const auto source = std::make_shared<FunctionSource>(
        [](auto, auto, auto z) { return static_cast<std::uint16_t>(z); }, 34);
    const std::shared_ptr<CoarseLevels> coarse = CoarseLevels::start(source, layout, ~std::uint64_t{0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return coarse->failed(); }, 30000));
    EXPECT_FALSE(coarse->finished());
    EXPECT_FALSE(coarse->grid());
    // The pass made level-1 slices 0 to 16; the slot of brick 1 ends at slice 17.
    const BrickKey below{1, {0, 0, 0}};
    const BrickKey beyond{1, {0, 0, 1}};
    EXPECT_TRUE(coarse->ready(below));
    EXPECT_FALSE(coarse->ready(beyond));
    EXPECT_FALSE(coarse->awaits(beyond));

    BrickLoader loader(source, layout, size, 1, std::uint64_t{1} << 20, coarse);
    loader.wish({below, beyond});
    ASSERT_TRUE(QTest::qWaitFor([&] { return loader.failed(); }, 30000));
    const std::optional<BrickTexels> arrived = loader.take();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(arrived->key, below);
    EXPECT_EQ(arrived->texels, coarse->build(below)->texels);
}

} // namespace
