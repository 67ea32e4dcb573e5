#include "volume/worker/ImportWorker.h"

#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <stop_token>
#include <thread>
#include <unistd.h>

// Reads through the import worker: a worker that stops answering, is given up or dies
// before its answer (as GDCM does on an assertion) is gone afterwards, and its file refused.
namespace {

// The state ('T' stopped, 'Z' exited, ...) and parent of an import worker; none where
// the process is not one (or is gone).
std::optional<std::pair<char, pid_t>> workerStat(const QString& pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    // "pid (name) state ppid ...", the name cut to 15 characters.
    const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const QList<QByteArray> after = fields.mid(fields.lastIndexOf(')') + 2).split(' ');
    if (!fields.contains("(voxview-import") || after.size() < 2)
        return std::nullopt;
    return std::pair(after[0].at(0), static_cast<pid_t>(after[1].toInt()));
}

// The import worker this process is running now; 0 for none.
pid_t runningWorker() {
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (const auto stat = workerStat(entry); stat && stat->second == ::getpid())
            return entry.toInt();
    return 0;
}

enum class GiveUp { Cancel, SilenceDeadline, Kill };

// Holds (SIGSTOP) the import worker this process starts next the moment it appears, and
// then gives the read up as asked: a worker held still stands for a library stuck in a
// loop, which neither answers nor reads; one killed, for a library that aborted. `held`
// tells whether the worker was held before it had ended on its own.
std::jthread holdWorker(GiveUp giveUp, std::stop_source& cancel, std::atomic<bool>& held) {
    return std::jthread([giveUp, &cancel, &held](std::stop_token stop) {
        pid_t pid = 0;
        while (!stop.stop_requested() && (pid = runningWorker()) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (pid == 0)
            return;
        ::kill(pid, SIGSTOP);
        // 'T' once the stop has reached a live process, 'Z' for one that had already exited.
        auto stat = workerStat(QString::number(pid));
        while (stat && stat->first != 'T' && stat->first != 'Z')
            stat = workerStat(QString::number(pid));
        held = stat && stat->first == 'T';
        if (held && giveUp == GiveUp::Cancel)
            cancel.request_stop();
        if (held && giveUp == GiveUp::Kill)
            ::kill(pid, SIGKILL);
    });
}

TEST(ImportWorker, AWorkerThatHangsOrDiesIsGoneAfterwardsAndItsFileRefused) {
    // A worker may, rarely, end before it is held: the read is tried again.
    constexpr int kAttempts = 5;
    const QTemporaryDir folder;
    const QString first = DicomTestSeries{}.write(folder.path()).front();
    ASSERT_EQ(reasonOf(VolumeFile::read(first)), "");
    EXPECT_EQ(runningWorker(), 0);
    // How the read is given up, and the reason it is refused with.
    const std::pair<GiveUp, std::string> cases[] = {
        {GiveUp::Cancel, cancelledImport().reason.toStdString()},
        {GiveUp::SilenceDeadline,
         "IM0001.dcm cannot be read: the DICOM library made no progress on it or on a "
         "file beside it for 1 s (damaged file?)."},
        {GiveUp::Kill, "IM0001.dcm cannot be read: the DICOM library stopped on it or on a file beside it "
                       "(damaged file?)."},
    };
    for (const auto& [giveUp, expected] : cases) {
        SCOPED_TRACE(expected);
        std::string reason;
        std::atomic<bool> held = false;
        for (int attempt = 0; attempt < kAttempts && !held; ++attempt) {
            std::stop_source stop;
            ImportWorker worker({}, ImportProgress({}, stop.get_token()));
            worker.setSilenceDeadline(std::chrono::seconds(1));
            const std::jthread hold = holdWorker(giveUp, stop, held);
            reason = reasonOf(worker.read(first, VolumeFormat::Dicom));
        }
        ASSERT_TRUE(held);
        EXPECT_EQ(reason, expected);
        EXPECT_EQ(runningWorker(), 0);
    }
}

} // namespace
