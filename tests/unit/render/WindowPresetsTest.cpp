#include "render/display/WindowPresets.h"

#include <gtest/gtest.h>

namespace {

// Windows given in the file's units reach the renderer in sample units:
// sample = (value − valueOffset) / valueScale, width / valueScale.
TEST(WindowPresetFor, VolumeWithItsValueMap) {
    const struct {
        WindowPreset preset;
        double valueScale, valueOffset;
        bool hounsfield;
        std::optional<VolumeRecord::Window> fileWindow;
        std::optional<WindowPresets::SampleWindow> expected; // none: refused with a reason
    } cases[] = {
        {WindowPreset::Lung, 0.5, -1024.0, true, {}, {{848, 3000}}}, // a rescaled CT
        {WindowPreset::Brain, 1.0, 0.0, false, {}, {}},              // values that are not HU
        {WindowPreset::File, 2.0, 10.0, false, {{100, 50}}, {{45, 25}}},
        {WindowPreset::SoftTissue, 0.0, 0.0, true, {}, {}}, // a scale of zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "preset " << static_cast<int>(c.preset));
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
            continue;
        }
        const auto* chosen = std::get_if<WindowPresets::SampleWindow>(&window);
        ASSERT_NE(chosen, nullptr) << qPrintable(std::get<QString>(window));
        EXPECT_EQ(chosen->level, c.expected->level);
        EXPECT_EQ(chosen->width, c.expected->width);
    }
}

} // namespace
