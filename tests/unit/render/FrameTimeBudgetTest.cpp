#include "render/frame/FrameTimeBudget.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = FrameTimeBudget::Clock;
constexpr double kLeast = FrameTimeBudget::kLeastPixels / FrameTimeBudget::kInitialPixels;

struct BudgetCase {
    const char* name;
    double initialFrameMs;  // what a frame of the initial budget takes on this machine
    bool drawnInFull;       // each frame holds the whole budget (else a drawable of a tenth of it)
    double lowest, highest; // where the budget ends, in multiples of the initial one
};

class FrameTimeBudgetSettles : public testing::TestWithParam<BudgetCase> {};

// Twenty reduced frames in a row on a machine whose frames take time in proportion to
// their pixels.
TEST_P(FrameTimeBudgetSettles, MovesTowardThePixelsThatTakeTheTargetTime) {
    const double msPerPixel = GetParam().initialFrameMs / FrameTimeBudget::kInitialPixels;
    FrameTimeBudget budget;
    Clock::time_point now{};
    double pixels = 0.0;
    for (int frame = 0; frame < 20; ++frame) {
        pixels = budget.frameStarted(now);
        const double drawn = GetParam().drawnInFull ? pixels : FrameTimeBudget::kInitialPixels / 10.0;
        budget.frameDrawn(drawn);
        now += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(drawn * msPerPixel));
    }
    EXPECT_GE(pixels, GetParam().lowest * FrameTimeBudget::kInitialPixels);
    EXPECT_LE(pixels, GetParam().highest * FrameTimeBudget::kInitialPixels);
}

INSTANTIATE_TEST_SUITE_P(
    FrameTimes, FrameTimeBudgetSettles,
    testing::Values(BudgetCase{"OnTargetStays", 30.0, true, 0.99, 1.01},
                    BudgetCase{"TwiceTooSlowHalves", 60.0, true, 0.49, 0.51},
                    BudgetCase{"ThreeTimesTooFastTriples", 10.0, true, 2.9, 3.1},
                    BudgetCase{"VerySlowFramesStopAtTheLeast", 1.0e6, true, kLeast, kLeast},
                    // Frames of a small drawable are quick whatever the budget: they do not raise it.
                    BudgetCase{"SmallDrawablesDoNotGrowIt", 1.0, false, 1.0, 1.0}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(FrameTimeBudgetTest, AGapBetweenDragsIsNotMeasured) {
    FrameTimeBudget budget;
    const Clock::time_point start{};
    budget.frameDrawn(budget.frameStarted(start));
    budget.interrupted();
    EXPECT_EQ(budget.frameStarted(start + 10s), FrameTimeBudget::kInitialPixels);
}

} // namespace
