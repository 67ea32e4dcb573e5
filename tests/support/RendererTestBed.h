#pragma once

#include "FakeMTKView.h"
#include "QVRenderer.h"
#include "RecordingGpu.h"
#include "TestVolumes.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>

// A renderer on the recording backend and a fake view; the observers of "wl" and "ww"
// are heard in `notified`.
struct RendererTestBed {
    std::shared_ptr<recording::Device> device = std::make_shared<recording::Device>();
    FakeMTKView view{device};
    std::unique_ptr<QVRenderer> renderer;
    QStringList notified;

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
        std::vector<recording::Frame> frames = device->takeFrames();
        return frames.empty() ? std::nullopt : std::optional(frames.back());
    }
};
