#include "volume/worker/ImportWorker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QtNumeric>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcWorker, "voxview.import.worker")

namespace {

// How often the wait looks at the caller's stop request and the silence deadline.
constexpr int kPollMs = 50;
// Starting a process takes milliseconds; this is for a machine under heavy load.
constexpr int kStartMs = 30000;
// A killed worker is gone at once, unless the kernel holds it in an uninterruptible read.
constexpr int kKillWaitMs = 5000;
// How often the wait looks whether a silent worker is still reading its file.
constexpr std::chrono::seconds kReadWatchInterval{1};
// Once its answer is in, the worker only has to exit.
constexpr std::chrono::milliseconds kExitGrace{2000};
constexpr int kBytesPerTexel = 2;
// What the log keeps of a worker's last words (a library's assertion, a sanitizer's report).
constexpr qsizetype kStderrTail = 1000;

// The memory file a volume's texels come back in: anonymous, gone with its last user,
// never on disk. Created close-on-exec, so that only the worker it is meant for inherits it.
class TexelFile {
  public:
    TexelFile() : m_fd(::memfd_create("voxview-texels", MFD_CLOEXEC | MFD_ALLOW_SEALING)) {}
    ~TexelFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TexelFile(const TexelFile&) = delete;
    TexelFile& operator=(const TexelFile&) = delete;

    int descriptor() const { return m_fd; }

    // The texels of a width x height x depth record, once the worker that wrote them has
    // exited. Sealed first: nothing can shrink the file under the map (which would fault).
    ImportResult<ByteBuffer> texels(const VolumeRecord& record) const {
        std::uint64_t expected = kBytesPerTexel;
        struct stat status {};
        if (qMulOverflow<std::uint64_t>(expected, record.width, &expected) ||
            qMulOverflow<std::uint64_t>(expected, record.height, &expected) ||
            qMulOverflow<std::uint64_t>(expected, record.depth, &expected) || ::fstat(m_fd, &status) != 0 ||
            static_cast<std::uint64_t>(status.st_size) != expected)
            return ImportRefusal{
                QStringLiteral("The import worker handed over the texels of another volume.")};
        if (::fcntl(m_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
            return ImportRefusal{QStringLiteral("The texels of the import worker cannot be kept: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))};
        QString error;
        ByteBuffer mapped = ByteBuffer::mapFile(QStringLiteral("/proc/self/fd/%1").arg(m_fd), &error);
        if (mapped.isNull())
            return ImportRefusal{
                QStringLiteral("The texels of the import worker cannot be mapped: %1").arg(error)};
        return mapped;
    }

  private:
    int m_fd;
};

QString libraryOf(VolumeFormat format) {
    switch (format) {
    case VolumeFormat::Nifti:
        return QStringLiteral("NIfTI");
    case VolumeFormat::Tiff:
        return QStringLiteral("TIFF");
    default:
        return QStringLiteral("DICOM");
    }
}

// A worker's log line, logged here under its own category and type.
void relog(const ImportWorkerMessage::Log& log) {
    const QMessageLogContext context(nullptr, 0, nullptr, log.category.constData());
    // A fatal message has ended the worker; here it must not end the viewer.
    qt_message_output(log.type == QtFatalMsg ? QtCriticalMsg : log.type, context, log.text);
}

// How many bytes the worker has read from files (and pipes) so far: nifticlib reads and
// inflates a whole image in one call that reports nothing, and a worker still reading is
// alive. A library stuck in a loop that reads nothing falls silent.
std::optional<std::uint64_t> bytesReadBy(qint64 pid) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:")) {
            bool ok = false;
            const std::uint64_t bytes = line.mid(qsizetype{sizeof "rchar:"} - 1).trimmed().toULongLong(&ok);
            return ok ? std::optional(bytes) : std::nullopt;
        }
    }
    return std::nullopt;
}

// Where in what the user picked the library may have stopped: a DICOM file is read with
// the other files of its folder (its series), a folder by its files.
QString partsOf(const QString& path, VolumeFormat format) {
    if (QFileInfo(path).isDir())
        return QStringLiteral("on one of its files");
    if (format == VolumeFormat::Dicom)
        return QStringLiteral("on it or on a file beside it");
    return QStringLiteral("on it");
}

void stop(QProcess& process) {
    process.kill();
    process.waitForFinished(kKillWaitMs);
}

} // namespace

ImportWorker::ImportWorker(const ImportOptions& options, const ImportProgress& progress)
    : m_options(options), m_progress(progress) {}

ImportResult<VolumeRecord> ImportWorker::read(const QString& path, VolumeFormat format) const {
    return answer<VolumeRecord>({.arguments = {QStringLiteral("read"), path},
                                 .texels = true,
                                 .subject = QFileInfo(path).fileName(),
                                 .parts = partsOf(path, format),
                                 .library = libraryOf(format)});
}

ImportResult<std::vector<DicomSeries>> ImportWorker::scanDicom(const QString& path) const {
    return answer<std::vector<DicomSeries>>({.arguments = {QStringLiteral("scan"), path},
                                             .subject = QFileInfo(path).fileName(),
                                             .parts = partsOf(path, VolumeFormat::Dicom),
                                             .library = libraryOf(VolumeFormat::Dicom)});
}

ImportResult<VolumeRecord> ImportWorker::readDicom(const DicomSeries& series) const {
    const QString name = series.description.isEmpty() ? series.uid : series.description;
    return answer<VolumeRecord>({.arguments = {QStringLiteral("series")},
                                 .input = ImportWorkerMessage::line(std::vector<DicomSeries>{series}),
                                 .texels = true,
                                 .subject = QStringLiteral("The series “%1”").arg(name),
                                 .parts = QStringLiteral("on one of its files"),
                                 .library = libraryOf(VolumeFormat::Dicom)});
}

template <typename T> ImportResult<T> ImportWorker::answer(const Job& job) const {
    ImportResult<ImportWorkerMessage::Body> answered = run(job);
    if (auto* refusal = std::get_if<ImportRefusal>(&answered))
        return std::move(*refusal);
    if (auto* value = std::get_if<T>(&std::get<ImportWorkerMessage::Body>(answered)))
        return std::move(*value);
    return ImportRefusal{QStringLiteral("The import worker gave an answer of another kind.")};
}

// Starts the worker, passes its progress and log lines on while it reads and returns its
// answer: a refusal, or the value the job asks for (a record, with its texels mapped).
ImportResult<ImportWorkerMessage::Body> ImportWorker::run(const Job& job) const {
    const QString program =
        QDir(QCoreApplication::applicationDirPath()).filePath(QLatin1String(kExecutableName));
    if (!QFileInfo(program).isExecutable())
        return ImportRefusal{
            QStringLiteral("%1 files are read by %2, which is missing beside this program (%3).")
                .arg(job.library, QLatin1String(kExecutableName), QDir::toNativeSeparators(program))};
    const TexelFile texels;
    QStringList arguments = job.arguments;
    arguments << QStringLiteral("--ram-budget") << QString::number(m_options.ramBudgetBytes)
              << QStringLiteral("--max-texture-size") << QString::number(m_options.maxTextureSize);
    QProcess process;
    if (job.texels) {
        if (texels.descriptor() < 0)
            return ImportRefusal{QStringLiteral("No memory file for the texels: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))};
        arguments << QStringLiteral("--texels-fd") << QString::number(texels.descriptor());
        // In the worker only, after the fork: the file stays open across its exec.
        process.setChildProcessModifier([fd = texels.descriptor()] { ::fcntl(fd, F_SETFD, 0); });
    }
    process.start(program, arguments);
    if (!process.waitForStarted(kStartMs))
        return ImportRefusal{QStringLiteral("The import worker %1 did not start: %2")
                                 .arg(QDir::toNativeSeparators(program), process.errorString())};
    process.write(job.input);
    process.closeWriteChannel();

    using Clock = std::chrono::steady_clock;
    std::optional<ImportWorkerMessage::Body> answer;
    Clock::time_point heard = Clock::now();
    Clock::time_point watched = heard;
    std::optional<std::uint64_t> bytesRead;
    QByteArray said; // the tail of what the worker (its libraries) printed
    for (;;) {
        process.waitForFinished(kPollMs);
        said = (said + process.readAllStandardError()).right(kStderrTail);
        if (Clock::now() - watched >= kReadWatchInterval) {
            watched = Clock::now();
            const std::optional<std::uint64_t> now = bytesReadBy(process.processId());
            if (now != bytesRead)
                heard = watched;
            bytesRead = now;
        }
        while (process.canReadLine()) {
            std::optional<ImportWorkerMessage::Body> message = ImportWorkerMessage::parse(process.readLine());
            if (!message)
                continue;
            heard = Clock::now();
            if (const auto* progress = std::get_if<ImportWorkerMessage::Progress>(&*message))
                m_progress.report(progress->fraction);
            else if (const auto* log = std::get_if<ImportWorkerMessage::Log>(&*message))
                relog(*log);
            else
                answer = std::move(message);
        }
        if (process.state() == QProcess::NotRunning)
            break;
        if (m_progress.stopRequested()) {
            stop(process);
            return cancelledImport();
        }
        if (answer && Clock::now() - heard > kExitGrace) {
            stop(process);
            break;
        }
        if (Clock::now() - heard > m_silenceDeadline) {
            stop(process);
            return ImportRefusal{
                QStringLiteral(
                    "%1 cannot be read: the %2 library made no progress %3 for %4 s (damaged file?).")
                    .arg(job.subject, job.library, job.parts)
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(m_silenceDeadline).count())};
        }
    }

    // An answer once sent is whole (the texels are written before it): how the worker
    // ends after it does not matter.
    if (!answer) {
        qCWarning(lcWorker).noquote()
            << QStringLiteral("The import worker ended (%1, status %2) without an answer%3")
                   .arg(process.exitStatus() == QProcess::CrashExit ? QStringLiteral("crashed")
                                                                    : QStringLiteral("exited"))
                   .arg(process.exitCode())
                   .arg(said.trimmed().isEmpty()
                            ? QString()
                            : QStringLiteral(": ") + QString::fromLocal8Bit(said.trimmed()));
        return ImportRefusal{QStringLiteral("%1 cannot be read: the %2 library stopped %3 (damaged file?).")
                                 .arg(job.subject, job.library, job.parts)};
    }
    if (auto* refusal = std::get_if<ImportRefusal>(&*answer))
        return std::move(*refusal);
    if (auto* record = std::get_if<VolumeRecord>(&*answer); record && job.texels) {
        ImportResult<ByteBuffer> data = texels.texels(*record);
        if (const auto* refusal = std::get_if<ImportRefusal>(&data))
            return *refusal;
        record->data = std::get<ByteBuffer>(std::move(data));
    }
    return std::move(*answer);
}
