#pragma once

#include "ImageMetrics.h"
#include "OffscreenMTKView.h"
#include "TestVolumes.h"
#include "render/QVRenderer.h"

#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>
#include <QThread>
#include <memory>

// A renderer on the OpenGL device drawing into an offscreen view, for pixel tests.
// The renderer starts on the sample's record without voxels (nothing uploaded), so a
// test imports the volume it needs. Frames go through the real frame step, at full
// quality. Bricks of 8 voxels cut a 64³ volume into two levels of detail below the base.
struct GpuTestBed {
    static constexpr QColor kBackground{26, 51, 77};

    std::shared_ptr<gpu::Device> device;
    std::unique_ptr<OffscreenMTKView> view;
    std::unique_ptr<QVRenderer> renderer;

    // Empty on success, otherwise why the bed could not be set up.
    QString create(QSize size) {
        device = gpu::createSystemDefaultDevice();
        if (!device) {
            return QStringLiteral("no OpenGL 4.1 core device (run under Xvfb with QT_QPA_PLATFORM=xcb)");
        }
        QString error;
        view = OffscreenMTKView::create(device, size, &error);
        if (!view) {
            return error;
        }
        view->setClearColor({kBackground.redF(), kBackground.greenF(), kBackground.blueF(), 1.0});
        BrickPool::Budgets budgets;
        budgets.brickSide = kBrickSide;
        renderer = std::make_unique<QVRenderer>(*view, testvolumes::sampleWithoutVoxels(), nullptr, budgets);
        renderer->mtkView_drawableSizeWillChange(*view, view->drawableSize());
        // Pixel tests compare full-quality images; the reduced frames shown while the
        // inputs change have tests of their own.
        renderer->setAdaptiveQuality(false);
        return {};
    }

    // A ball of 300 in air of −1000, stored +1000 as signed imports are.
    static VolumeRecord signedBall(std::uint32_t side) {
        VolumeRecord ball = testvolumes::sphere(side, 300 + 1000, 0);
        ball.sampleOffset = -1000;
        return ball;
    }

    // The picture once every brick the view needs is resident.
    QImage frame() {
        for (int waits = 0;; ++waits) {
            view->draw(*renderer);
            ++drawn;
            if (waits == 5000 || !renderer->brickPool() || renderer->brickPool()->complete()) {
                return view->grabImage();
            }
            QThread::msleep(1);
        }
    }

    int drawn = 0; // frames drawn by frame()
    static constexpr std::uint64_t kBrickSide = 8;
};
