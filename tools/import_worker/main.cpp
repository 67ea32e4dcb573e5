// voxview-import-worker MODE [PATH] OPTIONS: reads one volume, or lists DICOM series,
// through the format's library for the viewer or voxview-inspect (volume/worker/ImportWorker
// starts it and waits for it), and dies in their place when a damaged file makes the
// library abort, hang or run out of memory.
//
//   read PATH   a NIfTI, TIFF or DICOM file, or a folder of one DICOM series
//               (VolumeFile::readInProcess)
//   scan PATH   the DICOM series of a file or a folder (DicomSeriesScanner::scan)
//   series      the DICOM series given on stdin as a list of one (DicomSeriesReader::read)
//
// Options: --ram-budget BYTES and --max-texture-size N, the import's ImportOptions;
// --texels-fd FD, the memory file a volume's texels are written into, before the record
// itself is sent. Messages go to stdout (ImportWorkerMessage lines), what the libraries
// print to stderr.

#include "volume/core/VolumeFile.h"
#include "volume/dicom/DicomSeriesReader.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/worker/ImportWorkerMessage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUnhandledException>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kUsageError = 2;
constexpr int kMegabyteShift = 20;
// Memory beyond the import's RAM budget that the worker may map: Qt and the libraries'
// own buffers, and for each decoding thread its stack and allocator arena.
constexpr std::uint64_t kMemoryMargin = std::uint64_t{512} << kMegabyteShift;
constexpr std::uint64_t kThreadMemory = std::uint64_t{16} << kMegabyteShift;
// Progress is sent each time it moves by a thousandth.
constexpr double kProgressSteps = 1000.0;
// Texels are written in pieces of this size, each forgotten here once it is in the file.
constexpr std::size_t kTexelPiece = std::size_t{64} << kMegabyteShift;

// Under AddressSanitizer and ThreadSanitizer the process maps terabytes of shadow memory:
// a limit on its mappings would end every read.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShadowMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kShadowMemory = true;
#else
constexpr bool kShadowMemory = false;
#endif
#else
constexpr bool kShadowMemory = false;
#endif

bool writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The way to the process that started the worker: its stdout, kept apart from what the
// libraries print (descriptor 1 is pointed at stderr). Any thread.
class Channel {
  public:
    Channel() : m_fd(::dup(STDOUT_FILENO)) { ::dup2(STDERR_FILENO, STDOUT_FILENO); }

    void send(const ImportWorkerMessage::Body& body) {
        const QByteArray line = ImportWorkerMessage::line(body);
        const std::lock_guard lock(m_mutex);
        writeAll(m_fd, line.constData(), static_cast<std::size_t>(line.size()));
    }

  private:
    std::mutex m_mutex;
    int m_fd;
};

Channel* g_channel = nullptr;

// The readers' log lines go to the viewer, which logs them as its own.
void forwardLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    g_channel->send(ImportWorkerMessage::Log{type, QByteArray(context.category), text});
}

// Sends the read's progress when it has moved by a step. Any thread: the DICOM reader
// reports from its decoding threads (one at a time).
ImportProgress progressTo(Channel& channel) {
    return ImportProgress([&channel, sent = -1.0](double fraction) mutable {
        const double step = std::floor(fraction * kProgressSteps);
        if (step != sent) {
            sent = step;
            channel.send(ImportWorkerMessage::Progress{fraction});
        }
    });
}

// A blow-up in a library ends in a failed allocation (a refusal) rather than in the
// machine's memory; the budget itself is what the readers may hold.
void limitMemory(std::uint64_t ramBudget) {
    if (kShadowMemory)
        return;
    const auto threads = static_cast<std::uint64_t>(std::max(QThread::idealThreadCount(), 1));
    const std::uint64_t margin = kMemoryMargin + threads * kThreadMemory;
    rlimit limit{};
    limit.rlim_cur =
        ramBudget > std::numeric_limits<rlim_t>::max() - margin ? RLIM_INFINITY : ramBudget + margin;
    limit.rlim_max = limit.rlim_cur;
    ::setrlimit(RLIMIT_DATA, &limit);
}

// The texels go into the viewer's memory file. This copy of the pieces already written is
// not read again: its pages go back to the kernel, so the volume is not held twice.
bool writeTexels(int fd, const ByteBuffer& data) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    for (std::size_t done = 0; done < data.size();) {
        const std::size_t piece = std::min(kTexelPiece, data.size() - done);
        const auto* bytes = reinterpret_cast<const char*>(data.data()) + done;
        if (!writeAll(fd, bytes, piece))
            return false;
        const auto begin = (reinterpret_cast<std::uintptr_t>(bytes) + page - 1) / page * page;
        const auto end = (reinterpret_cast<std::uintptr_t>(bytes) + piece) / page * page;
        if (begin < end)
            ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
        done += piece;
    }
    return true;
}

// A failed allocation, here or on a decoding thread (QtConcurrent hands those on wrapped).
bool outOfMemory(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return true;
    } catch (const QUnhandledException& wrapped) {
        return wrapped.exception() && outOfMemory(wrapped.exception());
    } catch (...) {
        return false;
    }
}

ImportWorkerMessage::Body volumeAnswer(ImportResult<VolumeRecord> result, int texelsFd) {
    if (auto* refusal = std::get_if<ImportRefusal>(&result))
        return std::move(*refusal);
    VolumeRecord& record = std::get<VolumeRecord>(result);
    if (record.data.isNull())
        return ImportRefusal{QStringLiteral("A volume read in place from its file cannot be handed over.")};
    if (!writeTexels(texelsFd, record.data))
        return ImportRefusal{QStringLiteral("The texels could not be handed over: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))};
    record.data = {};
    return std::move(record);
}

ImportWorkerMessage::Body readSeries(const ImportOptions& options, const ImportProgress& progress,
                                     int texelsFd) {
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return ImportRefusal{QStringLiteral("The import worker was given no series to read.")};
    const std::optional<ImportWorkerMessage::Body> given = ImportWorkerMessage::parse(input.readAll());
    const auto* series = given ? std::get_if<std::vector<DicomSeries>>(&*given) : nullptr;
    if (!series || series->size() != 1)
        return ImportRefusal{QStringLiteral("The import worker was given no series to read.")};
    return volumeAnswer(DicomSeriesReader::read(series->front(), options, progress), texelsFd);
}

ImportWorkerMessage::Body answer(const QString& mode, const QString& path, const ImportOptions& options,
                                 const ImportProgress& progress, int texelsFd) {
    if (mode == QLatin1String("scan")) {
        ImportResult<std::vector<DicomSeries>> scanned = DicomSeriesScanner::scan(path, progress);
        if (auto* refusal = std::get_if<ImportRefusal>(&scanned))
            return std::move(*refusal);
        return std::get<std::vector<DicomSeries>>(std::move(scanned));
    }
    if (mode == QLatin1String("series"))
        return readSeries(options, progress, texelsFd);
    return volumeAnswer(VolumeFile::readInProcess(path, options, progress), texelsFd);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    Channel channel;
    g_channel = &channel;
    qInstallMessageHandler(forwardLog);

    QCommandLineParser parser;
    const QCommandLineOption ramBudget(QStringLiteral("ram-budget"), {}, QStringLiteral("BYTES"));
    const QCommandLineOption maxTextureSize(QStringLiteral("max-texture-size"), {}, QStringLiteral("N"));
    const QCommandLineOption texelsFd(QStringLiteral("texels-fd"), {}, QStringLiteral("FD"));
    parser.addOptions({ramBudget, maxTextureSize, texelsFd});
    ImportOptions options;
    bool validBudget = false;
    bool validSize = false;
    bool validFd = true;
    if (parser.parse(QCoreApplication::arguments())) {
        options.ramBudgetBytes = parser.value(ramBudget).toULongLong(&validBudget);
        options.maxTextureSize = parser.value(maxTextureSize).toUInt(&validSize);
    }
    const int texels = parser.isSet(texelsFd) ? parser.value(texelsFd).toInt(&validFd) : -1;
    const QStringList arguments = parser.positionalArguments();
    const QString mode = arguments.value(0);
    const bool reads = mode == QLatin1String("read") || mode == QLatin1String("series");
    const bool takesPath = mode == QLatin1String("read") || mode == QLatin1String("scan");
    if (!validBudget || !validSize || !validFd || (reads && texels < 0) ||
        arguments.size() != (takesPath ? 2 : 1) || !(reads || takesPath)) {
        channel.send(ImportRefusal{QStringLiteral("The import worker was started wrongly: %1")
                                       .arg(QCoreApplication::arguments().join(QLatin1Char(' ')))});
        return kUsageError;
    }
    limitMemory(options.ramBudgetBytes);
    const QString path = arguments.value(1);
    try {
        channel.send(answer(mode, path, options, progressTo(channel), texels));
    } catch (...) {
        // Anything else ends the worker as a library's abort would.
        if (!outOfMemory(std::current_exception()))
            throw;
        const QString what = takesPath ? QFileInfo(path).fileName() : QStringLiteral("The series");
        channel.send(
            ImportRefusal{QStringLiteral("%1 needs more memory to read than an import may hold (%2 MB).")
                              .arg(what)
                              .arg(options.ramBudgetBytes >> kMegabyteShift)});
    }
    return 0;
}
