#include "volume/worker/ImportWorker.h"

#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <atomic>
#include <chrono>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stop_token>
#include <thread>
#include <unistd.h>

// Reads through the import worker: DICOM files damaged where GDCM asserts (Debian builds it
// with assertions on), read in this process, would abort it; a worker that stops
// answering or is given up is killed.
namespace {

using testing::HasSubstr;

QByteArray flipped(QByteArray file, qsizetype at) {
    file[at] = static_cast<char>(~file[at]);
    return file;
}

QByteArray overwritten(QByteArray file, qsizetype at, quint32 value) {
    qToLittleEndian(value, file.data() + at);
    return file;
}

// The import worker this process is running now; 0 for none.
pid_t runningWorker() {
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...", the name cut to 15 characters.
        const QByteArray fields = stat.readAll();
        const QList<QByteArray> after = fields.mid(fields.lastIndexOf(')') + 2).split(' ');
        if (fields.contains("(voxview-import") && after.size() > 1 && after[1].toInt() == ::getpid())
            return entry.toInt();
    }
    return 0;
}

// The first slice of a small series, its bytes damaged where GDCM's file-meta reader
// asserts (in the listing of the series) or its pixel format does (in the read itself).
TEST(ImportWorker, DamagedDicomFilesAreRefusedWithoutTakingTheProcess) {
    const QTemporaryDir written;
    const QByteArray slice = readFile(DicomTestSeries{.depth = 1}.write(written.path()).front());
    const qsizetype groupLength = dicomElementAt(slice, 0x0002, 0x0000, "UL");
    const qsizetype version = dicomElementAt(slice, 0x0002, 0x0001, "OB");
    const qsizetype sopClass = dicomElementAt(slice, 0x0008, 0x0016, "UI");
    const qsizetype samples = dicomElementAt(slice, 0x0028, 0x0002, "US");
    const qsizetype bits = dicomElementAt(slice, 0x0028, 0x0100, "US");
    const qsizetype pixels = dicomElementAt(slice, 0x7fe0, 0x0010, "OW");
    constexpr qsizetype kVr = 4, kShortLength = 6, kShortValue = 8, kLongLength = 8;
    constexpr std::uint64_t kSmallBudget = std::uint64_t{64} << 20;
    ASSERT_GE(std::min({groupLength, version, sopClass, samples, bits, pixels}), 0);
    const struct {
        const char* name;
        QByteArray bytes;
        std::uint64_t ramBudget = ImportOptions::kDefaultRamBudgetBytes;
    } damaged[] = {
        // gdcm::ReadImplicitDataElement asserts on the file meta group's first VR.
        {"group-length-vr", flipped(slice, groupLength + kVr)},
        // gdcm::Reader::InternalReadCommon asserts on a group length of 65284 bytes.
        {"group-length-length", flipped(slice, groupLength + kShortLength + 1)},
        // GDCM allocates the 2 GB the version's length claims, then asserts: the worker's
        // memory limit ends the allocation first (sanitizer builds, which have none, see it assert).
        {"version-length", overwritten(slice, version + kLongLength, 0x7fffffff), kSmallBudget},
        // The data set's first element claims 65306 bytes: FileMetaInformation::ReadCompat asserts.
        {"sop-class-length", flipped(slice, sopClass + kShortLength + 1)},
        // Listed fine; gdcm::PixelFormat asserts on 254 samples per pixel, and on 239
        // bits allocated, once the slice is read.
        {"samples-per-pixel", flipped(slice, samples + kShortValue)},
        {"bits-allocated", flipped(slice, bits + kShortValue)},
        // Cut short after the pixel data's tag: ReadPreValue asserts on the missing VR.
        {"cut-short", slice.left(pixels + kVr)},
    };
    for (const auto& c : damaged) {
        SCOPED_TRACE(c.name);
        const TestFolder folder;
        const QString name = QString::fromLatin1(c.name) + QStringLiteral(".dcm");
        ImportOptions options;
        options.ramBudgetBytes = c.ramBudget;
        const std::string reason = reasonOf(VolumeFile::read(folder.write(name, c.bytes), options));
        EXPECT_THAT(reason, HasSubstr(name.toStdString()));
        EXPECT_EQ(runningWorker(), 0);
    }
}

// Holds (SIGSTOP) the import worker this process starts next the moment it appears, and
// then gives the read up when asked to: a worker held still stands for a library stuck in
// a loop, which neither answers nor reads.
class WorkerHold {
  public:
    explicit WorkerHold(std::stop_source* cancel)
        : m_thread([this, cancel](std::stop_token stop) {
              pid_t pid = 0;
              while (!stop.stop_requested() && (pid = runningWorker()) == 0)
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              if (pid == 0)
                  return;
              ::kill(pid, SIGSTOP);
              m_held = stateOf(pid) != 'Z';
              if (m_held && cancel)
                  cancel->request_stop();
          }) {}

    // The worker was held before it had ended on its own.
    bool held() const { return m_held; }

  private:
    // 'T' once the stop has reached a live process, 'Z' for one that had already exited.
    static char stateOf(pid_t pid) {
        for (;;) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                return 'Z';
            const QByteArray fields = stat.readAll();
            const char state = fields.at(fields.lastIndexOf(')') + 2);
            if (state == 'T' || state == 'Z')
                return state;
        }
    }

    std::atomic<bool> m_held = false;
    std::jthread m_thread;
};

TEST(ImportWorker, AWorkerThatHangsIsKilledOnCancelOrAfterItsSilenceDeadline) {
    // A worker may, rarely, end before it is held: the read is tried again.
    constexpr int kAttempts = 5;
    const QTemporaryDir folder;
    const QString first = DicomTestSeries{}.write(folder.path()).front();
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel" : "deadline");
        std::string reason;
        bool held = false;
        for (int attempt = 0; attempt < kAttempts && !held; ++attempt) {
            std::stop_source stop;
            ImportWorker worker({}, ImportProgress({}, stop.get_token()));
            worker.setSilenceDeadline(std::chrono::seconds(1));
            const WorkerHold hold(cancel ? &stop : nullptr);
            reason = reasonOf(worker.read(first, VolumeFormat::Dicom));
            held = hold.held();
        }

        ASSERT_TRUE(held);
        EXPECT_EQ(reason, cancel
                              ? reasonOf(cancelledImport())
                              : "IM0001.dcm cannot be read: the DICOM library made no progress on it or on a "
                                "file beside it for 1 s (damaged file?).");
        EXPECT_EQ(runningWorker(), 0);
    }
}

} // namespace
