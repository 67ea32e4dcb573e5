#include "AdaptiveQuality.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using Action = AdaptiveQuality::Action;
using namespace std::chrono_literals;

struct Frame {
    std::chrono::milliseconds at;
    bool inputsChanged;
    Action expected;
};

struct PolicyCase {
    const char* name;
    bool enabled;
    std::vector<Frame> frames;
};

class AdaptiveQualityPolicy : public testing::TestWithParam<PolicyCase> {};

// Plays the frames through the policy, keeping an image the way the renderer does: a
// drawn frame is kept with its inputs, a reused one changes nothing.
TEST_P(AdaptiveQualityPolicy, DecidesEachFrame) {
    AdaptiveQuality quality;
    quality.setEnabled(GetParam().enabled);
    const AdaptiveQuality::Clock::time_point start{};
    bool keptMatches = false;
    bool keptIsFull = false;
    int index = 0;
    for (const Frame& frame : GetParam().frames) {
        if (frame.inputsChanged) {
            keptMatches = false;
        }
        const Action action = quality.next(frame.inputsChanged, keptMatches, keptIsFull, start + frame.at);
        EXPECT_EQ(action, frame.expected) << "frame " << index << " at " << frame.at.count() << " ms";
        if (action != Action::Reuse) {
            keptMatches = true;
            keptIsFull = action == Action::DrawFull;
        }
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, AdaptiveQualityPolicy,
    testing::Values(PolicyCase{"FirstFrameIsFullThenReused",
                               true,
                               {{0ms, true, Action::DrawFull},
                                {16ms, false, Action::Reuse},
                                {500ms, false, Action::Reuse}}},
                    PolicyCase{"DragIsInteractiveAndFullFollowsTheSettleTime",
                               true,
                               {{0ms, true, Action::DrawFull},
                                {16ms, true, Action::DrawInteractive},
                                {33ms, true, Action::DrawInteractive},
                                {50ms, false, Action::Reuse},
                                {132ms, false, Action::Reuse},
                                {133ms, false, Action::DrawFull},
                                {150ms, false, Action::Reuse}}},
                    // A slider's steps with pauses shorter than the settle time stay interactive.
                    PolicyCase{"PausesShorterThanTheSettleTimeStayInteractive",
                               true,
                               {{0ms, true, Action::DrawFull},
                                {100ms, true, Action::DrawInteractive},
                                {180ms, false, Action::Reuse},
                                {190ms, true, Action::DrawInteractive},
                                {289ms, false, Action::Reuse},
                                {290ms, false, Action::DrawFull}}},
                    PolicyCase{"SwitchedOffEveryChangeIsDrawnInFull",
                               false,
                               {{0ms, true, Action::DrawFull},
                                {16ms, true, Action::DrawFull},
                                {33ms, false, Action::Reuse},
                                {50ms, true, Action::DrawFull}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
