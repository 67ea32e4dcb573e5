#pragma once

#include "ImageMetrics.h"
#include "OffscreenMTKView.h"
#include "QVRenderer.h"
#include "TestVolumes.h"

#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>
#include <memory>

// A renderer on the OpenGL device drawing into an offscreen view, for pixel tests.
// The renderer starts on the sample's record without voxels (nothing uploaded), so a
// test imports the volume it needs. Frames go through the real frame step, at full
// quality.
struct GpuTestBed {
    static constexpr QColor kBackground{26, 51, 77};

    std::shared_ptr<gpu::Device> device;
    std::unique_ptr<OffscreenMTKView> view;
    std::unique_ptr<QVRenderer> renderer;

    // Empty on success, otherwise why the bed could not be set up.
    QString create(QSize size, QColor background = kBackground) {
        device = gpu::createSystemDefaultDevice();
        if (!device) {
            return QStringLiteral("no OpenGL 4.1 core device (run under Xvfb with QT_QPA_PLATFORM=xcb)");
        }
        QString error;
        view = OffscreenMTKView::create(device, size, &error);
        if (!view) {
            return error;
        }
        view->setClearColor({background.redF(), background.greenF(), background.blueF(), 1.0});
        renderer = std::make_unique<QVRenderer>(*view, testvolumes::sampleWithoutVoxels());
        renderer->mtkView_drawableSizeWillChange(*view, view->drawableSize());
        // Pixel tests compare full-quality images; the reduced frames shown while the
        // inputs change have tests of their own.
        renderer->setAdaptiveQuality(false);
        return {};
    }

    QImage frame() {
        view->draw(*renderer);
        return view->grabImage();
    }
};
