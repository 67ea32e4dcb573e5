#include "LogCapture.h"
#include "RecordingGpu.h"
#include "render/streaming/BrickLoader.h"
#include "render/streaming/BrickPool.h"
#include "volume/core/VolumeSource.h"

#include <QTest>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

namespace {

// 64³ voxels in bricks of 8 (slots of 12³ texels): level 0 has 8³ bricks, the base level 1
// 4³. Each voxel holds the number of the base brick it lies in, from 1, so a slot's centre
// tells whose texels it holds. Reads wait while the gate is closed.
struct GatedSource final : VolumeSource {
    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::unique_lock lock(mutex);
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
                  {1, 1, 600000, "too long for this GPU"},
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
    explicit FlakySource(int count) : failures(count) {}
    bool readRow(std::uint64_t, std::uint64_t, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::fill_n(out, count, 0);
        return z < 40 || failures.fetch_sub(1) <= 0;
    }
    mutable std::atomic<int> failures;
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

} // namespace
