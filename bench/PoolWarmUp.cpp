#include "PoolWarmUp.h"

#include "OffscreenMTKView.h"
#include "render/QVRenderer.h"
#include "render/streaming/BrickPool.h"
#include "volume/http/HttpStore.h"

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The window asks for frames at the display's refresh.
constexpr std::chrono::microseconds kDisplayInterval{16667};

} // namespace

std::variant<PoolWarmUp::Times, QString> PoolWarmUp::run(QVRenderer& renderer, OffscreenMTKView& view,
                                                         double limitMs) {
    view.setDeltaX(0);
    view.setUserInteracting(false);
    renderer.setAdaptiveQuality(true);
    Times times;
    bool drawn = false;
    QElapsedTimer timer;
    timer.start();
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        // A frame late for its refresh is not made up for: the next one is asked for at once.
        std::this_thread::sleep_until(due);
        due = std::max(due + kDisplayInterval, std::chrono::steady_clock::now());
        // What the bricks this frame takes were fetched with: finer ones read while it draws
        // are not the first picture's.
        const std::uint64_t webBytes = HttpStore::bytesFetchedByAll();
        view.draw(renderer); // returns once the GPU has finished the frame
        ++times.frames;
        const BrickPool* pool = renderer.brickPool();
        if (!pool) {
            return QStringLiteral("the volume has no brick pool (see the log above)");
        }
        if (!drawn && pool->drawable()) {
            drawn = true;
            times.firstPicture = ProcessProbe::sinceStart();
            times.firstPictureWebBytes = webBytes;
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
