#include "render/streaming/BrickLoader.h"

#include "volume/core/VolumeSource.h"

#include <QTest>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

namespace {

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
