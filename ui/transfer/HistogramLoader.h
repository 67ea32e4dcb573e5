#pragma once

#include "volume/samples/TexelHistogram.h"

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <array>
#include <memory>

// Counts a volume's values off the GUI thread, twice: first a lattice of about
// TexelHistogram::kPreviewVoxels voxels, which arrives at once, then every voxel. A new volume cancels the
// counting of the one before, whose results are never told.
class HistogramLoader : public QObject {
    Q_OBJECT

  public:
    explicit HistogramLoader(QObject* parent = nullptr);
    ~HistogramLoader() override;

    void load(std::shared_ptr<const VolumeSource> source, const std::array<std::uint64_t, 3>& size);
    // Whether the counting of every voxel is still under way.
    bool busy() const;

  signals:
    // The coarse histogram, then the whole one (stride 1).
    void counted(std::shared_ptr<const TexelHistogram> histogram);

  private:
    void cancel();

    QThreadPool m_pool; // one thread: a newer volume waits for the older count to stop
    std::unique_ptr<QFutureWatcher<std::shared_ptr<const TexelHistogram>>> m_watcher;
};
