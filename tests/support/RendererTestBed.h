#pragma once

#include "CallLog.h"
#include "FakeMTKView.h"
#include "QVRenderer.h"
#include "RecordingGpu.h"
#include "TestVolumes.h"

#include <QObject>
#include <memory>

// A renderer on the recording backend and a fake view, sharing one call log. Observers
// of "wl" and "ww" are recorded in the log too ("notify ww"), so their order among the
// GPU calls and the view reads is visible.
struct RendererTestBed {
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<recording::Device> device = std::make_shared<recording::Device>(log);
    FakeMTKView view{device, log};
    std::unique_ptr<QVRenderer> renderer;

    // Makes the renderer on `vdata` (the sample's record without voxels when null) and
    // reports a square 512-pixel drawable, as the view controller does after creation.
    void create(std::shared_ptr<const VolumeData> vdata = nullptr) {
        renderer = std::make_unique<QVRenderer>(view, vdata ? vdata : testvolumes::sampleWithoutVoxels());
        renderer->mtkView_drawableSizeWillChange(view, {512.0, 512.0});
        QObject::connect(
            renderer.get(), &QVRenderer::valueChanged, renderer.get(),
            [log = log](const QString& key) { log->record("notify " + key.toStdString()); },
            Qt::DirectConnection);
    }

    void frame() { renderer->drawInMTKView(view); }
};
