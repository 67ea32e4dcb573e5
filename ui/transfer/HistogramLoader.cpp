#include "ui/transfer/HistogramLoader.h"

#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>
#include <vector>

using Result = std::shared_ptr<const TexelHistogram>;

HistogramLoader::HistogramLoader(QObject* parent) : QObject(parent) {
    m_pool.setMaxThreadCount(1);
}

HistogramLoader::~HistogramLoader() {
    cancel();
    m_pool.waitForDone();
}

void HistogramLoader::cancel() {
    if (m_watcher) {
        m_watcher->disconnect(this);
        m_watcher->cancel();
        m_watcher.reset();
    }
}

bool HistogramLoader::busy() const {
    return m_watcher && !m_watcher->isFinished();
}

void HistogramLoader::load(std::shared_ptr<const VolumeSource> source,
                           const std::array<std::uint64_t, 3>& size) {
    cancel();
    if (!source) {
        return;
    }
    m_watcher = std::make_unique<QFutureWatcher<Result>>();
    QFutureWatcher<Result>* watcher = m_watcher.get();
    connect(watcher, &QFutureWatcherBase::resultReadyAt, this,
            [this, watcher](int index) { emit counted(watcher->resultAt(index)); });
    watcher->setFuture(QtConcurrent::run(&m_pool, [source, size](QPromise<Result>& promise) {
        const auto cancelled = [&promise] { return promise.isCanceled(); };
        const TexelHistogram::Lattice preview = TexelHistogram::preview(*source, size);
        // A volume no larger than the lattice is counted whole at once.
        std::vector<TexelHistogram::Lattice> lattices{{0, size, 1}};
        if (preview.level > 0 || preview.stride > 1) {
            lattices.insert(lattices.begin(), preview);
        }
        for (const TexelHistogram::Lattice& lattice : lattices) {
            std::optional<TexelHistogram> histogram =
                TexelHistogram::count(*source, lattice.size, lattice.stride, cancelled, lattice.level);
            if (!histogram) {
                return;
            }
            promise.addResult(std::make_shared<const TexelHistogram>(std::move(*histogram)));
        }
    }));
}
