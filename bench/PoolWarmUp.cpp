#include "PoolWarmUp.h"

#include "OffscreenMTKView.h"
#include "render/QVRenderer.h"
#include "render/streaming/BrickPool.h"

#include <QElapsedTimer>

std::variant<PoolWarmUp::Times, QString> PoolWarmUp::run(QVRenderer& renderer, OffscreenMTKView& view,
                                                         double limitMs) {
    view.setDeltaX(0);
    view.setUserInteracting(false);
    Times times;
    bool drawn = false;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        view.draw(renderer); // returns once the GPU has finished the frame
        ++times.frames;
        const BrickPool* pool = renderer.brickPool();
        if (!pool) {
            return QStringLiteral("the volume has no brick pool (see the log above)");
        }
        if (!drawn && pool->drawable()) {
            drawn = true;
            times.firstPicture = ProcessProbe::sinceStart();
        }
        if (drawn && pool->complete()) {
            times.fullPicture = ProcessProbe::sinceStart();
            times.level = pool->level();
            return times;
        }
        if (pool->failed()) {
            return QStringLiteral("the volume's bricks could not be read");
        }
        if (static_cast<double>(timer.elapsed()) >= limitMs) {
            const QString missing = drawn ? QStringLiteral("bricks of level %1").arg(pool->level())
                                          : QStringLiteral("the coarse base level");
            return QStringLiteral(
                       "after %1 s and %2 frames the brick pool still lacks %3 (%4 bricks resident)")
                .arg(limitMs / 1000.0)
                .arg(times.frames)
                .arg(missing)
                .arg(pool->residentCount());
        }
    }
}
