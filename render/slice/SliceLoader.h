#pragma once

#include "render/slice/SliceImage.h"

#include <QObject>
#include <QString>
#include <future>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

class VolumeSource;

// Reads the slices a view asks for on a thread of its own, so the GUI thread never waits
// on the volume's file. One read at a time: a request made while one runs waits, and a
// later one replaces it, so stepping quickly through a volume reads the slices the view
// will still show rather than every one it passed; a picture that arrives after a newer one
// is dropped. Sagittal slices are read in blocks of neighbours, which cost about as much as
// one, and kept: stepping across x then reads the file once per block. The pictures arrive on
// the thread the loader lives in.
class SliceLoader : public QObject {
    Q_OBJECT

  public:
    // Neighbouring sagittal slices read and kept together.
    static constexpr std::uint64_t kSagittalBlock = 32;

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
        std::uint64_t serial;
    };
    using Result = std::variant<std::vector<SliceImage>, QString>;
    void start(Job job);
    void finish(const Job& job, Result result);
    void deliver(std::uint64_t serial, std::shared_ptr<const SliceImage> image);
    // The kept sagittal slice the request asks for, if it is kept.
    std::shared_ptr<const SliceImage> kept(const Job& job) const;

    bool m_running = false;
    std::optional<Job> m_waiting;
    std::uint64_t m_serial = 0;
    std::uint64_t m_delivered = 0; // the serial of the newest picture handed out
    std::shared_ptr<const VolumeSource> m_keptSource;
    VolumeExtent m_keptExtent{};
    std::vector<std::shared_ptr<const SliceImage>> m_kept; // one block of sagittal slices
    std::future<void> m_read;
};
