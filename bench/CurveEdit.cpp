#include "CurveEdit.h"

#include "OffscreenMTKView.h"
#include "render/QVRenderer.h"
#include "render/streaming/BrickPool.h"

#include <QElapsedTimer>

namespace {

std::vector<ColourMap::OpacityPoint> editedCurve(const ColourMap& map) {
    if (!map.hasOpacity()) {
        // The square of the place in the window that maps without a curve take, lowered to
        // a line through half of it at the top: nothing more becomes transparent.
        return {{0.0, 0.0}, {1.0, 0.5}};
    }
    std::vector<ColourMap::OpacityPoint> curve = map.opacity();
    for (ColourMap::OpacityPoint& point : curve) {
        point.opacity *= 0.5;
    }
    return curve;
}

} // namespace

CurveEdit::Result CurveEdit::run(QVRenderer& renderer, OffscreenMTKView& view) {
    view.setDeltaX(0);
    view.setUserInteracting(false);
    view.draw(renderer);
    const QImage before = view.grabImage();
    const ColourMap& map = renderer.displayModel().colourMap();
    const std::uint64_t mapUploads = renderer.colourMapUploads();
    const BrickPool* pool = renderer.brickPool();
    const BrickPool::Uploads poolUploads = pool ? pool->uploads() : BrickPool::Uploads{};

    renderer.displayModel().setColourMap(ColourMap(map.name(), map.points(), editedCurve(map)));
    QElapsedTimer timer;
    timer.start();
    view.draw(renderer);
    Result result;
    result.frameMs = static_cast<double>(timer.nsecsElapsed()) / 1.0e6;
    result.colourMapUploads = renderer.colourMapUploads() - mapUploads;
    if (pool) {
        result.brickUploads = pool->uploads().bricks - poolUploads.bricks;
        result.pageTableUploads = pool->uploads().pageTables - poolUploads.pageTables;
    }
    result.pictureChanged = view.grabImage() != before;
    return result;
}
