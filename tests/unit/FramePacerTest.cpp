#include "FramePacer.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr double k60Hz = 60.0;

// Feeds frame starts spaced `gapMs` apart and returns the pacer.
FramePacer afterFrames(int count, std::int64_t gapMs, double hz = k60Hz) {
    FramePacer pacer(hz);
    for (int i = 0; i < count; ++i) {
        pacer.frameStarted(i * gapMs);
    }
    return pacer;
}

struct PacingCase {
    const char* name;
    int frames;
    std::int64_t gapMs;
    double hz;
    bool pacing;
};

class FramePacerPacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(FramePacerPacing, PacesOnlyAfterARunOfFramesTheSwapDidNotHold) {
    const PacingCase& c = GetParam();
    EXPECT_EQ(afterFrames(c.frames, c.gapMs, c.hz).isPacing(), c.pacing);
}

INSTANTIATE_TEST_SUITE_P(Gaps, FramePacerPacing,
                         ::testing::Values(PacingCase{"VsyncAt60Hz", 100, 17, k60Hz, false},
                                           PacingCase{"SlowFramesNeverPace", 100, 80, k60Hz, false},
                                           PacingCase{"UnheldSwapsPace", 20, 4, k60Hz, true},
                                           PacingCase{"TooShortARunWaits", 10, 4, k60Hz, false},
                                           PacingCase{"Vsync144HzReportedAs144", 100, 7, 144.0, false},
                                           PacingCase{"UnknownRateFallsBackTo60Hz", 20, 4, 0.0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FramePacerTest, AsksAtOnceWhileNotPacing) {
    const FramePacer pacer = afterFrames(5, 17);
    EXPECT_EQ(pacer.delayBeforeNextFrame(4 * 17 + 3), 0);
}

TEST(FramePacerTest, HoldsTheNextStartToOneRefreshIntervalAfterTheLast) {
    FramePacer pacer = afterFrames(20, 2);
    ASSERT_TRUE(pacer.isPacing());
    const std::int64_t lastStart = 19 * 2;
    EXPECT_EQ(pacer.delayBeforeNextFrame(lastStart + 5), 17 - 5);
    // A frame that took longer than the interval is followed at once.
    EXPECT_EQ(pacer.delayBeforeNextFrame(lastStart + 40), 0);
}

TEST(FramePacerTest, KeepsPacingOnceFramesAreHeld) {
    FramePacer pacer = afterFrames(20, 2);
    ASSERT_TRUE(pacer.isPacing());
    std::int64_t now = 19 * 2;
    for (int i = 0; i < 50; ++i) {
        now += 17;
        pacer.frameStarted(now);
    }
    EXPECT_TRUE(pacer.isPacing());
    EXPECT_GT(pacer.delayBeforeNextFrame(now + 1), 0);
}

} // namespace
