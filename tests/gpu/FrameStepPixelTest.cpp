#include "GpuTestBed.h"
#include "ImageMetrics.h"
#include "TestVolumes.h"

#include <gtest/gtest.h>

namespace {

using namespace imagemetrics;

constexpr QSize kViewSize{256, 256};

TEST(FrameStepPixels, LeftDragTurnsTheVolumeAboutItsCentre) {
    GpuTestBed bed;
    ASSERT_EQ(bed.create(kViewSize).toStdString(), "");
    const VolumeRecord phantom = testvolumes::headPhantom();
    ASSERT_TRUE(bed.renderer->updateVolumeDataWithNRRDfmt(&phantom));
    bed.renderer->adoptPostedVolume();
    // A window that takes in air shows the whole box, whose outline stays centred when
    // the camera orbits the volume's centre, whatever the head inside looks like.
    bed.renderer->setWl(-1000);
    bed.renderer->setWw(400);
    const QImage first = bed.frame();
    ASSERT_GT(foregroundCount(first, GpuTestBed::kBackground), 5000);

    bed.view->setDeltaX(10);
    QImage turned;
    for (int i = 0; i < 20; ++i) {
        turned = bed.frame();
    }

    EXPECT_NEAR(bed.renderer->yrot(), -1.0f, 1e-5f);
    EXPECT_GT(differingPixels(first, turned), kViewSize.width() * kViewSize.height() / 20);
    for (const QImage& image : {first, turned}) {
        const QPointF centroid = foregroundCentroid(image, GpuTestBed::kBackground);
        EXPECT_NEAR(centroid.x(), 127.5, 0.08 * kViewSize.width());
        EXPECT_NEAR(centroid.y(), 127.5, 0.08 * kViewSize.height());
    }
}

} // namespace
