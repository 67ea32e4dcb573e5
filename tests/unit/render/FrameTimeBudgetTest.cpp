#include "render/frame/FrameTimeBudget.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace {

using Clock = FrameTimeBudget::Clock;
constexpr double kLeast = FrameTimeBudget::kLeastPixels / FrameTimeBudget::kInitialPixels;

// Twenty reduced frames in a row on a machine whose frames take time in proportion to
// their pixels.
TEST(FrameTimeBudgetTest, MovesTowardThePixelsThatTakeTheTargetTime) {
    const struct {
        double initialFrameMs;  // what a frame of the initial budget takes on this machine
        bool largeDrawable;     // the budget limits each frame (else a drawable of a tenth of it)
        double lowest, highest; // where the budget ends, in multiples of the initial one
        bool gaps = false;      // the drag is interrupted after every frame: nothing is measured
    } cases[] = {
        {30.0, true, 0.99, 1.01},      // on target: stays
        {60.0, true, 0.49, 0.51},      // twice too slow: halves
        {10.0, true, 2.9, 3.1},        // three times too fast: triples
        {1.0e6, true, kLeast, kLeast}, // very slow frames stop at the least
        // Frames of a small drawable are quick whatever the budget: they do not raise it.
        {1.0, false, 1.0, 1.0},
        {1.0e6, true, 1.0, 1.0, true}, // the gaps between drags, however long, are not measured
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.initialFrameMs << " ms" << (c.gaps ? ", interrupted" : ""));
        const double msPerPixel = c.initialFrameMs / FrameTimeBudget::kInitialPixels;
        FrameTimeBudget budget;
        Clock::time_point now{};
        double pixels = 0.0;
        for (int frame = 0; frame < 20; ++frame) {
            pixels = budget.frameStarted(now);
            // A budgeted frame is rounded down to whole rows and columns of a 2048 × 1536 drawable.
            const double drawable =
                c.largeDrawable ? 2048.0 * 1536.0 : FrameTimeBudget::kInitialPixels / 10.0;
            const double scale = std::min(1.0, std::sqrt(pixels / drawable));
            const double drawn =
                c.largeDrawable ? std::floor(scale * 2048.0) * std::floor(scale * 1536.0) : drawable;
            budget.frameDrawn(drawn, drawable);
            if (c.gaps) {
                budget.interrupted();
            }
            now += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(drawn * msPerPixel));
        }
        EXPECT_GE(pixels, c.lowest * FrameTimeBudget::kInitialPixels);
        EXPECT_LE(pixels, c.highest * FrameTimeBudget::kInitialPixels);
    }
}

} // namespace
