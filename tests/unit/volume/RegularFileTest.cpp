#include "DicomTestSeries.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "render/scene/VolumeSurvey.h"
#include "volume/core/VolumeFile.h"
#include "volume/dicom/DicomSeriesScanner.h"

#include <QFile>
#include <future>
#include <gtest/gtest.h>
#include <nifti1.h>
#include <sys/stat.h>
#include <thread>

// Pipes, devices, dangling links and files under /proc wherever an import opens
// a file: each is refused by name (or passed over in a DICOM folder), never read.
namespace {

// A regression blocks in open() or reads for ever: the import runs on a thread of its
// own, and the case fails after this long instead of hanging the suite.
constexpr auto kGenerousWait = std::chrono::seconds(60);

std::string refusalWithin(const QString& path) {
    auto reason = std::make_shared<std::promise<std::string>>();
    std::future<std::string> done = reason->get_future();
    std::thread([path, reason] { reason->set_value(reasonOf(VolumeFile::read(path))); }).detach();
    return done.wait_for(kGenerousWait) == std::future_status::ready ? done.get() : "still reading";
}

QString fifo(const QString& path) {
    EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << path.toStdString();
    return path;
}

QString link(const QString& target, const QString& path) {
    EXPECT_TRUE(QFile::link(target, path)) << path.toStdString();
    return path;
}

QString nrrdNaming(const TestFolder& folder, const QString& dataFile) {
    return folder.write("v.nhdr", nrrdHeader("ushort", {4, 3, 2}, "raw", "data file: " + dataFile + "\n"));
}

QString tiffStack(const TestFolder& folder, const QString& thirdSlice) {
    for (const char* name : {"s_1.tif", "s_2.tif"})
        writeTiff(folder.path(name), {{.samples = QByteArray(4 * 3 * 2, '\1')}});
    link(thirdSlice, folder.path("s_3.tif"));
    return folder.path("s_1.tif");
}

const struct {
    QString (*import)(const TestFolder& folder); // makes the files, returns what is imported
    const char* reason;                          // a part of it; "" where the import succeeds
} kCases[] = {
    // A pipe picked.
    {[](const TestFolder& f) { return fifo(f.path("v.nrrd")); },
     "v.nrrd is not a regular file: it is a named pipe"},
    // A pipe as a NIfTI .img.
    {[](const TestFolder& f) {
         writeNifti(f.path("v.hdr"), {.datatype = DT_INT16, .samples = QByteArray(4 * 3 * 2 * 2, '\1')});
         QFile::remove(f.path("v.img"));
         fifo(f.path("v.img"));
         return f.path("v.hdr");
     },
     "v.img is not a regular file: it is a named pipe"},
    // A /proc file (its size 0) as the NRRD data file.
    {[](const TestFolder& f) { return nrrdNaming(f, "/proc/self/status"); }, "status is empty"},
    // An endless /proc file in a LIST.
    {[](const TestFolder& f) {
         f.write("a.raw", QByteArray(4 * 3 * 2, '\1'));
         return nrrdNaming(f, "LIST\na.raw\n/proc/self/pagemap");
     },
     "pagemap is empty"},
    // A pipe in a data file pattern.
    {[](const TestFolder& f) {
         f.write("d1.raw", QByteArray(4 * 3 * 2, '\1'));
         fifo(f.path("d2.raw"));
         return nrrdNaming(f, "d%d.raw 1 2 1");
     },
     "d2.raw is not a regular file: it is a named pipe"},
    // A dangling link as the data file.
    {[](const TestFolder& f) { return nrrdNaming(f, link(f.path("gone.raw"), f.path("d.raw"))); },
     "d.raw is a link to"},
    // Links to a pipe and /dev/zero in a DICOM folder are passed over.
    {[](const TestFolder& f) {
         DicomTestSeries{}.write(f.dir().path());
         link(fifo(f.path("pipe")), f.path("zz1.dcm"));
         link("/dev/zero", f.path("zz2.dcm"));
         return f.dir().path();
     },
     ""},
    // Links to a pipe and to /dev/zero among numbered TIFF slices.
    {[](const TestFolder& f) { return tiffStack(f, fifo(f.path("pipe"))); },
     "s_3.tif is not a regular file: it is a named pipe"},
    {[](const TestFolder& f) { return tiffStack(f, "/dev/zero"); },
     "s_3.tif is not a regular file: it is a character device"},
};

TEST(SpecialFiles, AreRefusedByNameOrPassedOverInBoundedTime) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.reason);
        const TestFolder folder;
        const std::string reason = refusalWithin(c.import(folder));
        if (*c.reason == '\0')
            EXPECT_EQ(reason, "");
        else
            EXPECT_NE(reason.find(c.reason), std::string::npos) << "reason: \"" << reason << '"';
    }
}

// A cancel is heard between batches of a long folder scan and between slabs of the
// survey that comes before the hand-over, not only when they are done.
TEST(SpecialFiles, CancelReachesTheFolderScanAndTheSurvey) {
    const TestFolder folder;
    DicomTestSeries{.depth = 100}.write(folder.dir().path());
    std::stop_source stop;
    const ImportProgress stopAtFirstReport([&](double) { stop.request_stop(); }, stop.get_token());
    EXPECT_EQ(reasonOf(DicomSeriesScanner::scan(folder.dir().path(), stopAtFirstReport)),
              cancelledImport().reason.toStdString());
    const auto surveyed = VolumeSurvey::imported(testvolumes::sphere(64, 1000), {}, 2048, stop.get_token());
    ASSERT_TRUE(std::holds_alternative<QString>(surveyed));
    EXPECT_TRUE(std::get<QString>(surveyed).contains("cancelled"));
}

} // namespace
