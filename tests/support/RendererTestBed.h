#pragma once

#include "FakeMTKView.h"
#include "RecordingGpu.h"
#include "TestVolumes.h"
#include "render/QVRenderer.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>
#include <thread>

// A renderer on the recording backend and a fake view; the observers of "wl" and "ww"
// are heard in `notified`.
struct RendererTestBed {
    std::shared_ptr<recording::Device> device = std::make_shared<recording::Device>();
    FakeMTKView view{device};
    std::unique_ptr<QVRenderer> renderer;
    QStringList notified;
    int frames = 0; // frames drawn through frame()

    // Makes the renderer on `vdata` (the sample's record without voxels when null) and
    // reports a square 512-pixel drawable, as the view controller does after creation.
    void create(std::shared_ptr<const VolumeData> vdata = nullptr) {
        renderer = std::make_unique<QVRenderer>(view, vdata ? vdata : testvolumes::sampleWithoutVoxels());
        renderer->mtkView_drawableSizeWillChange(view, {512.0, 512.0});
        QObject::connect(
            renderer.get(), &QVRenderer::valueChanged, renderer.get(),
            [this](const QString& key) { notified.append(key); }, Qt::DirectConnection);
    }

    // One frame through the frame step: what it encoded, or nothing when it encoded nothing.
    std::optional<recording::Frame> frame() {
        device->takeFrames();
        renderer->drawInMTKView(view);
        ++frames;
        std::vector<recording::Frame> encoded = device->takeFrames();
        return encoded.empty() ? std::nullopt : std::optional(encoded.back());
    }

    // Frames until every brick the view needs is resident (the pool's workers read them):
    // the last of them.
    std::optional<recording::Frame> settledFrame() {
        for (int waits = 0;; ++waits) {
            std::optional<recording::Frame> last = frame();
            if (waits == 5000 || !renderer->brickPool() || renderer->brickPool()->complete()) {
                return last;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// A test bed whose renderer is made on the sample's record without voxels.
struct CreatedRendererTestBed : RendererTestBed {
    CreatedRendererTestBed() { create(); }
};
