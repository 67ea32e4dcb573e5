#pragma once

#include "render/slice/SliceImage.h"

#include <QObject>
#include <QString>
#include <future>
#include <memory>
#include <optional>

class VolumeSource;

// Reads the slices a view asks for on a thread of its own, so the GUI thread never waits
// on the volume's file. One read at a time: a request made while one runs waits, and a
// later one replaces it, so stepping quickly through a volume reads the slices the view
// will still show rather than every one it passed. The pictures arrive on the thread the
// loader lives in, in the order asked for.
class SliceLoader : public QObject {
    Q_OBJECT

  public:
    explicit SliceLoader(QObject* parent = nullptr);
    // Waits for the read in progress: its picture is then dropped.
    ~SliceLoader() override;

    void request(std::shared_ptr<const VolumeSource> source, const VolumeExtent& extent,
                 const SliceRequest& request);
    // No read is running or waiting.
    bool idle() const { return !m_running && !m_waiting; }

  signals:
    void loaded(std::shared_ptr<const SliceImage> image);
    void failed(const QString& reason);

  private:
    struct Job {
        std::shared_ptr<const VolumeSource> source;
        VolumeExtent extent;
        SliceRequest request;
    };
    void start(Job job);
    void finish(std::variant<SliceImage, QString> result);

    bool m_running = false;
    std::optional<Job> m_waiting;
    std::future<void> m_read;
};
