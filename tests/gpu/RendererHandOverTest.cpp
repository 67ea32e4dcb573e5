#include "GpuTestBed.h"
#include "ImageMetrics.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace imagemetrics;

constexpr QSize kViewSize{96, 96};
constexpr int kMinimumFrames = 200;
constexpr int kUpdates = 24;
// The worker waits for this many frames between two imports, so that they interleave.
constexpr int kFramesBetweenUpdates = 3;
constexpr int kMaximumFrames = 5000;
// Two frames of one state may differ by rounding only.
constexpr int kSameFrame = 2;

// A slab, to alternate with a ball of another size.
VolumeRecord slab() {
    VolumeRecord record = testvolumes::record(48, 24, 32, [](auto x, auto y, auto) {
        return static_cast<std::uint16_t>(x > 8 && x < 40 && y > 4 ? 1500 : 0);
    });
    record.sampleOffset = -1000;
    return record;
}

TEST(RendererHandOver, WorkerImportsWhileFramesDrawAndEveryFrameShowsAWholeVolume) {
    GpuTestBed bed;
    ASSERT_EQ(bed.create(kViewSize).toStdString(), "");
    // Two volumes that differ in size, proportions and content: any frame that mixed the
    // texture of one with the sizes of the other would match neither picture.
    const VolumeRecord first = GpuTestBed::signedBall(40), second = slab();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&first));
    const QImage firstPicture = bed.frame();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&second));
    const QImage secondPicture = bed.frame();
    ASSERT_GT(differingPixels(firstPicture, secondPicture), 500);

    std::atomic<int> framesDrawn{0};
    std::atomic<int> accepted{0};
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        for (int update = 0; update < kUpdates; ++update) {
            const int due = framesDrawn + kFramesBetweenUpdates;
            while (framesDrawn < due && framesDrawn < kMaximumFrames) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            accepted += bed.renderer->updateVolumeDataWithNRRDfmt(update % 2 == 0 ? &first : &second) ? 1 : 0;
        }
        workerDone = true;
    });

    int showingFirst = 0, showingSecond = 0, mixed = 0;
    while ((!workerDone || framesDrawn < kMinimumFrames) && framesDrawn < kMaximumFrames) {
        const QImage picture = bed.frame();
        ++framesDrawn;
        if (differingPixels(picture, firstPicture, kSameFrame) == 0) {
            ++showingFirst;
        } else if (differingPixels(picture, secondPicture, kSameFrame) == 0) {
            ++showingSecond;
        } else {
            ++mixed;
        }
    }
    worker.join();

    EXPECT_EQ(accepted, kUpdates);
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(showingFirst, 0);
    EXPECT_GT(showingSecond, 0);
}

} // namespace
