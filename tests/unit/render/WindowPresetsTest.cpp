#include "render/display/WindowPresets.h"

#include <gtest/gtest.h>

namespace {

struct PresetCase {
    const char* name;
    WindowPreset preset;
    double valueScale, valueOffset;
    bool hounsfield;
    std::optional<VolumeRecord::Window> fileWindow;
    std::optional<WindowPresets::SampleWindow> expected; // none: refused with a reason
};

class WindowPresetFor : public testing::TestWithParam<PresetCase> {};

// Windows given in the file's units reach the renderer in sample units:
// sample = (value − valueOffset) / valueScale, width / valueScale.
TEST_P(WindowPresetFor, VolumeWithItsValueMap) {
    const PresetCase& c = GetParam();
    QVRenderer::VolumeState volume;
    volume.valueScale = c.valueScale;
    volume.valueOffset = c.valueOffset;
    volume.hounsfield = c.hounsfield;
    volume.fileWindow = c.fileWindow;
    const auto window = WindowPresets::windowFor(c.preset, volume);
    if (!c.expected) {
        const QString* reason = std::get_if<QString>(&window);
        ASSERT_NE(reason, nullptr);
        EXPECT_FALSE(reason->isEmpty());
        return;
    }
    const auto* chosen = std::get_if<WindowPresets::SampleWindow>(&window);
    ASSERT_NE(chosen, nullptr) << qPrintable(std::get<QString>(window));
    EXPECT_EQ(chosen->level, c.expected->level);
    EXPECT_EQ(chosen->width, c.expected->width);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, WindowPresetFor,
    testing::Values(
        PresetCase{"LungOnARescaledCt", WindowPreset::Lung, 0.5, -1024.0, true, {}, {{848, 3000}}},
        PresetCase{"BrainOnValuesThatAreNotHu", WindowPreset::Brain, 1.0, 0.0, false, {}, {}},
        PresetCase{"FileWindowInFileUnits", WindowPreset::File, 2.0, 10.0, false, {{100, 50}}, {{45, 25}}},
        PresetCase{"ScaleOfZero", WindowPreset::SoftTissue, 0.0, 0.0, true, {}, {}}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
