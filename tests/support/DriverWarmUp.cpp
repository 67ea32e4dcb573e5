#include "DriverWarmUp.h"

#if defined(__SANITIZE_ADDRESS__)

#include "OffscreenMTKView.h"
#include "TestVolumes.h"
#include "render/QVRenderer.h"

#include <sanitizer/lsan_interface.h>

void warmUpOpenGLDriverForLeakChecks() {
    __lsan_disable();
    if (std::shared_ptr<gpu::Device> device = gpu::createSystemDefaultDevice()) {
        QString error;
        if (std::unique_ptr<OffscreenMTKView> view = OffscreenMTKView::create(device, {8, 8}, &error)) {
            QVRenderer renderer(*view, testvolumes::sampleWithoutVoxels());
            const VolumeRecord ball = testvolumes::sphere(4, 1000);
            renderer.updateVolumeDataWithNRRDfmt(&ball);
            renderer.mtkView_drawableSizeWillChange(*view, view->drawableSize());
            view->draw(renderer);
        }
    }
    __lsan_enable();
}

#else

void warmUpOpenGLDriverForLeakChecks() {}

#endif
