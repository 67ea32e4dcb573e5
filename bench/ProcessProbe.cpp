#include "ProcessProbe.h"

#include <QFile>
#include <QList>
#include <chrono>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Field 22 of /proc/self/stat: the start time in clock ticks since boot. Fields are
// counted after the command name, which is in parentheses and may hold spaces.
constexpr int kStartTimeFieldAfterName = 22 - 3;
constexpr double kKibPerMib = 1024.0;
// Loading the libraries and running their initialisers takes tens of milliseconds; a
// process that began much earlier than this program's initialisation ran something else
// first.
constexpr double kLongestLoaderMs = 1000.0;

const std::chrono::steady_clock::time_point kInitialised = std::chrono::steady_clock::now();

double millisecondsSinceInitialised() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - kInitialised).count();
}

} // namespace

ProcessProbe::Elapsed ProcessProbe::sinceStart() {
    const Elapsed sinceInitialised{millisecondsSinceInitialised(), false};
    QFile stat(QStringLiteral("/proc/self/stat"));
    timespec now{};
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (!stat.open(QIODevice::ReadOnly) || clock_gettime(CLOCK_BOOTTIME, &now) != 0 || ticksPerSecond <= 0) {
        return sinceInitialised;
    }
    const QByteArray text = stat.readAll();
    const qsizetype nameEnd = text.lastIndexOf(')');
    const QList<QByteArray> fields = text.mid(nameEnd + 2).split(' ');
    bool ok = false;
    const qulonglong startTicks = fields.value(kStartTimeFieldAfterName).toULongLong(&ok);
    if (nameEnd < 0 || !ok) {
        return sinceInitialised;
    }
    const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1.0e6;
    const double startMs = static_cast<double>(startTicks) * 1000.0 / static_cast<double>(ticksPerSecond);
    const double elapsed = nowMs - startMs;
    // A kernel record that puts the start after this program's initialisation (an unusual
    // container clock) or long before it (an exec) does not time this program.
    if (elapsed < sinceInitialised.milliseconds ||
        elapsed > sinceInitialised.milliseconds + kLongestLoaderMs) {
        return sinceInitialised;
    }
    return {elapsed, true};
}

double ProcessProbe::cpuMilliseconds() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0.0;
    }
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double ProcessProbe::peakResidentMegabytes() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0.0;
    }
    return static_cast<double>(usage.ru_maxrss) / kKibPerMib; // Linux reports KiB
}

double ProcessProbe::residentMegabytes() {
    // /proc/self/statm: total program size, then resident pages.
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0.0;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    const double pages = fields.value(1).toDouble();
    return pages * static_cast<double>(sysconf(_SC_PAGESIZE)) / (kKibPerMib * kKibPerMib);
}
