#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"
#include "volume/dicom/DicomFileCheck.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/dicom/DicomSliceOrder.h"
#include "volume/worker/ImportWorker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <stop_token>
#include <thread>
#include <unistd.h>

// DICOM series written by GDCM's writer, read back as the import reads them: whole,
// damaged, and through the import worker.
namespace {

using TS = gdcm::TransferSyntax;

const struct {
    const char* name;
    DicomTestSeries series;
    const char* note;   // a note the record must carry, or nullptr for none
    const char* reason; // a part of the refusal; nullptr where the series is read
} kCases[] = {
    {"plain signed CT", {}, nullptr, nullptr},
    {"file names and instance numbers shuffled", {.fileNumbers = {3, 5, 1, 4, 2}}, nullptr, nullptr},
    {"written from the top down", {.positions = {8, 6, 4, 2, 0}}, nullptr, nullptr},
    {"unsigned, no intercept", {.intercept = 0, .signedSamples = false}, nullptr, nullptr},
    {"fractional slope", {.slope = 0.5, .intercept = -1000.25}, nullptr, nullptr},
    {"JPEG lossless", {.syntax = TS::JPEGLosslessProcess14_1}, nullptr, nullptr},
    {"JPEG-LS", {.syntax = TS::JPEGLSLossless}, nullptr, nullptr},
    {"JPEG 2000", {.syntax = TS::JPEG2000Lossless}, nullptr, nullptr},
    {"RLE", {.syntax = TS::RLELossless}, nullptr, nullptr},
    {"oblique", {.orientation = {0.866025, 0.5, 0, -0.5, 0.866025, 0}}, "oblique", nullptr},
    {"one multi-frame file", {.multiFrame = true}, "multi-frame", nullptr},
    {"gantry tilt", {.positions = {0, 2, 4, 6, 8}, .shear = 0.2}, "gantry tilt of 11.3°", nullptr},
    {"uneven", {.positions = {0, 2, 4, 7, 9}}, nullptr, "spacing is uneven: gaps range from 2 to 3 mm"},
    {"missing slice", {.positions = {0, 2, 4, 8, 10}}, nullptr, "Slices are missing between 34 and 38 mm"},
    {"two volumes", {.positions = {0, 2, 2, 4, 6}}, nullptr, "lie at the same position (32 mm)"},
    {"too far apart", {.positions = {0, 1e300, 2e300, 3e300, 4e300}}, nullptr, "lie 1e+300 mm apart"},
    {"mixed sizes", {}, nullptr, "differ in size: 4 x 6 (1 files), 8 x 6 (5 files)"},
    {"damaged slice", {}, nullptr, "IM0004.dcm: its pixel data is cut short"},
    // GDCM would read it as 1 mm.
    {"zero pixel spacing", {.spacingX = 0}, nullptr, "IM0001.dcm has a Pixel Spacing of 0.75\\0 mm"},
};

// Picking any one file of a series opens the whole series; a folder whose series would be
// shown wrongly is refused.
TEST(DicomSeries, ReadsEverySliceInPlaceWithItsValuesOrRefusesAStackItWouldShowWrongly) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        const DicomTestSeries& series = c.series;
        const QStringList files = series.write(folder.path());
        if (c.name == std::string("mixed sizes"))
            DicomTestSeries{.width = 4, .depth = 1, .origin = {0, 0, 40}, .fileNumbers = {9}}.write(
                folder.path());
        if (c.name == std::string("damaged slice")) { // cut inside its pixel data
            ASSERT_TRUE(QFile::resize(files[3], QFile(files[3]).size() - 80));
        }
        if (c.reason) {
            EXPECT_THAT(reasonOf(VolumeFile::read(folder.path())), testing::HasSubstr(c.reason));
            continue;
        }
        const VolumeRecord volume = volumeOf(VolumeFile::read(files.last()));
        EXPECT_EQ(volume.encoding, QString::fromLatin1(TS::GetTSString(series.syntax)).trimmed());
        EXPECT_EQ(std::tuple(volume.width, volume.height, volume.depth), std::tuple(8u, 6u, 5u));
        EXPECT_EQ(std::pair(volume.cellspaceX, volume.cellspaceY), std::pair(0.5f, 0.75f));
        EXPECT_NEAR(volume.cellspaceZ, 2.0f, 1e-4); // positions are written rounded
        EXPECT_TRUE(volume.hounsfield);
        ASSERT_TRUE(volume.fileWindow);
        EXPECT_EQ(std::pair(volume.fileWindow->level, volume.fileWindow->width), std::pair(40.0, 350.0));
        EXPECT_EQ(volume.notes.join(' ').contains(c.note ? c.note : "\x01"), c.note != nullptr)
            << volume.notes.join(' ').toStdString();

        // Slice k of the volume is the file with the k-th smallest position.
        const bool topDown = !series.positions.empty() && series.positions[0] > series.positions[1];
        std::vector<double> expected;
        for (int z = 0; z < 5; ++z)
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 8; ++x)
                    expected.push_back(series.stored(x, y, topDown ? 4 - z : z) * series.slope +
                                       series.intercept);
        const double tolerance = volume.valueScale / 2 + 1e-9;
        EXPECT_THAT(valuesOf(volume), testing::Pointwise(testing::DoubleNear(tolerance), expected));
    }
}

// A slice whose header cannot place it (the middle one of three here) is refused, not
// sorted by NaN.
TEST(DicomSeries, RefusesSlicesWhoseGeometryIsNotFiniteOrNotTwoUnitDirections) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::array<double, 6> orientation;
        std::array<double, 3> position;
        const char* reason;
    } cases[] = {{{nan, 0, 0, 0, 1, 0}, {0, 0, 1}, "Orientation (Patient) of nan\\0\\0\\0\\1\\0, not two"},
                 {{0, 0, 0, 0, 1, 0}, {0, 0, 1}, "Orientation (Patient) of 0\\0\\0\\0\\1\\0, not two"},
                 {{1, 0, 0, 0, 1, 0}, {0, nan, 1}, "Position (Patient) of 0\\nan\\1, not a finite position"}};
    for (const auto& c : cases) {
        const std::array<double, 6> axial{1, 0, 0, 0, 1, 0};
        const ImportResult<DicomStack> stack = DicomSliceOrder::arrange(
            {{.path = "IM1.dcm", .position = {{0, 0, 0}}, .orientation = axial},
             {.path = "IM2.dcm", .position = c.position, .orientation = c.orientation},
             {.path = "IM3.dcm", .position = {{0, 0, 2}}, .orientation = axial}});
        EXPECT_THAT(reasonOf(stack), testing::HasSubstr(std::string("IM2.dcm has an Image ") + c.reason));
    }
}

// Damaged copies of files written by GDCM, as a disk, a copy or a careless tool leaves
// them. Handed to GDCM unchecked, those cut short, with a broken meta group, an
// overwritten length, deep sequences or functional groups without an orientation stop
// the process with an assertion inside GDCM.

using Verdict = DicomFileCheck::Verdict;

constexpr qsizetype kGroupLengthValue = 140; // (0002,0000) UL after "DICM" and its header
constexpr qsizetype kVersionLength = 152;    // (0002,0001) OB: tag, VR, 2 reserved, length

qsizetype metaEnd(const QByteArray& file) {
    return kGroupLengthValue + 4 + qFromLittleEndian<quint32>(file.constData() + kGroupLengthValue);
}

void putLength(QByteArray& file, qsizetype at, quint32 length) {
    qToLittleEndian(length, file.data() + at);
}

// Damage that writes a 16-bit value `offset` bytes into the explicit VR element (group,
// element) of that VR.
std::function<void(QByteArray&)> putShort(quint16 group, quint16 element, const char* vr, int offset,
                                          quint16 value) {
    return [=](QByteArray& f) {
        qToLittleEndian(value, f.data() + dicomElementAt(f, group, element, vr) + offset);
    };
}

// A sequence of undefined length in an item of undefined length, 17 deep.
QByteArray nestedSequences() {
    QByteArray nest;
    for (int depth = 0; depth <= DicomFileCheck::kMaxDepth; ++depth)
        nest += QByteArray("\x08\x00\x40\x11SQ\0\0\xff\xff\xff\xff\xfe\xff\x00\xe0\xff\xff\xff\xff", 20);
    return nest;
}

const DicomTestSeries kSlice{.depth = 1};
const DicomTestSeries kFrames{.multiFrame = true}; // an enhanced CT file with functional groups
const DicomTestSeries kRle{.depth = 1, .syntax = gdcm::TransferSyntax::RLELossless};

const struct {
    const DicomTestSeries& written; // its first file is damaged
    std::function<void(QByteArray&)> damage;
    const char* reason;
    Verdict verdict = Verdict::Damaged;
} kDamagedCopies[] = {
    {kSlice, [](QByteArray&) {}, "", Verdict::Sound},
    {kSlice, [](QByteArray& f) { f.truncate(metaEnd(f)); }, "ends after its file meta information"},
    // A meta element of undefined length.
    {kSlice, [](QByteArray& f) { putLength(f, kVersionLength, 0xffffffff); },
     "a sequence or an undefined length"},
    // A sequence in the meta group.
    {kSlice, [](QByteArray& f) { f.replace(kVersionLength - 4, 2, "SQ"); },
     "(0002,0001) is stored as SQ where the standard has OB"},
    {kSlice, [](QByteArray& f) { putLength(f, kVersionLength, 0x7fffffff); }, "element (0002,0001) runs"},
    // The meta group's length off by two.
    {kSlice,
     [](QByteArray& f) { putLength(f, kGroupLengthValue, quint32(metaEnd(f) - kGroupLengthValue - 2)); },
     "its group length says"},
    {kSlice, [](QByteArray& f) { f.truncate(metaEnd(f) + 6); }, "cut short inside an element's header"},
    {kSlice, [](QByteArray& f) { f.replace(dicomElementAt(f, 0x0008, 0x0060, "CS") + 4, 2, "ZZ"); },
     "(0008,0060) has no known value representation"},
    // A short length overwritten.
    {kSlice, putShort(0x0008, 0x0060, "CS", 6, 0xfff0), "element (0008,0060) runs"},
    {kSlice, putShort(0x0028, 0x0010, "US", 8, 600),
     "pixel data holds 96 bytes, fewer than its 8 x 600 pixels"},
    // GDCM asserts on any count of samples but 1, 3 and 4.
    {kSlice, putShort(0x0028, 0x0002, "US", 8, 2),
     "it gives 2 samples per pixel, where images have 1, 3 or 4"},
    {kSlice, putShort(0x0028, 0x0002, "US", 8, 254), "it gives 254 samples per pixel"},
    {kSlice, [](QByteArray& f) { f.insert(metaEnd(f), nestedSequences()); }, "nest more than 16 deep"},
    {kFrames, putShort(0x0020, 0x0037, "DS", 2, 0x0038), "measure the pixels but give no Image Orientation"},
    {kRle,
     [](QByteArray& f) { putLength(f, f.indexOf(QByteArray("\xfe\xff\x00\xe0", 4), metaEnd(f)) + 16, 0); },
     "an RLE frame of its pixel data has 0 segments"},
    // GDCM reads a cut-short name as palette colour and asserts that the colour table is there.
    {kSlice, [](QByteArray& f) { f.replace(f.indexOf("MONOCHROME2 "), 12, "PALETTE COL "); },
     "is a palette-colour image", Verdict::Foreign},
    {kSlice, [](QByteArray& f) { f.replace(128, 4, "DICX"); }, "is not a DICOM file", Verdict::Foreign},
};

TEST(DicomFileCheck, RefusesDamagedCopiesWithTheirFault) {
    TestFolder folder;
    for (const auto& c : kDamagedCopies) {
        SCOPED_TRACE(c.reason);
        QByteArray damaged = readFile(c.written.write(folder.dir().path()).front());
        c.damage(damaged);
        const DicomFileCheck::Result result = DicomFileCheck::check(folder.write("IM0001.dcm", damaged));
        EXPECT_EQ(result.verdict, c.verdict);
        EXPECT_TRUE(result.reason.contains(c.reason)) << result.reason.toStdString();
        // The scan never hands a damaged file to GDCM: it refuses with the same reason.
        if (c.verdict == Verdict::Damaged) {
            EXPECT_EQ(reasonOf(DicomSeriesScanner::scan(folder.path("IM0001.dcm"))),
                      result.reason.toStdString());
        }
    }
}

// Reads through the import worker: a worker that stops answering, is given up or dies
// before its answer (as GDCM does on an assertion) is gone afterwards, and its file refused.

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
