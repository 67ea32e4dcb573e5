#include "DicomTestSeries.h"
#include "VolumeFileWriters.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <nifti2_io.h>

// voxview and voxview-inspect end to end: the executables as users and scripts run them.
namespace {

struct Finished {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// voxview-inspect unless `program` is named.
Finished run(const QStringList& arguments, const char* program = VOXVIEW_INSPECT_PATH) {
    QProcess process;
    // Without a display. Under the address sanitizer an allocation the machine cannot give
    // comes back empty, as it does without it, so that running out of memory is tested as
    // users meet it; the sanitizer's own remark on it ("==pid==WARNING: ...") is not the
    // program's output.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) + ":allocator_may_return_null=1");
    process.setProcessEnvironment(environment);
    process.start(QString::fromUtf8(program), arguments);
    if (!process.waitForFinished())
        return {};
    static const QRegularExpression kSanitizerRemark(
        QStringLiteral("^==\\d+==WARNING: AddressSanitizer.*\\n"), QRegularExpression::MultilineOption);
    const QString err = QString::fromUtf8(process.readAllStandardError()).remove(kSanitizerRemark);
    return {process.exitCode(), process.readAllStandardOutput(), err.toUtf8()};
}

// The report of a run that must succeed: one JSON object that ends its line, nothing on stderr.
QJsonObject reportOf(const QStringList& arguments) {
    const Finished report = run(arguments);
    EXPECT_EQ(report.exitCode, 0) << report.err.toStdString();
    EXPECT_TRUE(report.err.isEmpty()) << report.err.toStdString();
    EXPECT_TRUE(report.out.endsWith("}\n")) << report.out.toStdString();
    return QJsonDocument::fromJson(report.out).object();
}

// What `voxview` answers before it opens a window: these end the process at once.
TEST(CommandLine, AnswersHelpVersionAndTooManyFilesWithoutAWindow) {
    const struct {
        const char* arguments; // split at spaces
        int exitCode;
        const char* said; // in stdout and stderr together
    } cases[] = {
        {"--version", 0, "voxview "},
        {"--help", 0, "[FILE [DATA]]"},
        {"a.nhdr a.raw b.raw", 2, "voxview takes at most FILE and DATA."},
        {"--gpu-budget 0", 2, "--gpu-budget needs a whole number of megabytes"},
        {"--ram-budget lots", 2, "--ram-budget needs a whole number of megabytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Finished answer = run(QString::fromLatin1(c.arguments).split(QLatin1Char(' ')), VOXVIEW_PATH);
        const QString said = QString::fromUtf8(answer.out + answer.err);
        EXPECT_EQ(answer.exitCode, c.exitCode) << said.toStdString();
        EXPECT_TRUE(said.contains(QString::fromLatin1(c.said))) << said.toStdString();
    }
}

// Each field of `expected`, JSON text of an object, as the report gives it.
void expectFields(const QJsonObject& report, const char* expected) {
    const QJsonObject fields = QJsonDocument::fromJson(expected).object();
    ASSERT_FALSE(fields.isEmpty());
    for (auto field = fields.begin(); field != fields.end(); ++field)
        EXPECT_EQ(report[field.key()], field.value()) << field.key().toStdString();
}

const QByteArray kSignedHeader = nrrdHeader(
    "signed short", {2, 2, 2}, "gzip", "endian: big\nspace directions: (-0.5,0,0) (0,0.5,0) (0,0,1.25)\n");
const std::vector<int> kSamples = {-1000, -1000, 0, 0, 100, 200, 300, 1000};

// The report of an attached volume, of a detached header whose data file is given on the
// command line, and of volumes at the ends of the finite doubles.
TEST(NrrdInspect, PrintsTheVolumeAsTheViewerInterpretsIt) {
    TestFolder files;
    const QString path =
        files.write("head.nrrd", kSignedHeader + "\n" + gzipped(sampleBytes(kSamples, 2, ByteOrder::Big)));
    const QJsonObject report = reportOf({path});
    expectFields(report, R"({"format": "nrrd", "width": 2, "height": 2, "depth": 2, "dimension": 3,
        "spacing": [0.5, 0.5, 1.25], "type": "signed short", "sample_type": "int16", "encoding": "gzip",
        "endian": "big", "data_source": "attached", "sample_offset": -32768, "min": -1000, "max": 1000,
        "mean": -50})");
    EXPECT_EQ(report["data_file"], QFileInfo(path).absoluteFilePath());

    // A detached header read with the data file given on the command line.
    const QString header =
        files.write("head.nhdr", nrrdHeader("ushort", {2, 2, 1}, "raw", "data file: absent.raw\n"));
    const QString data = files.write("picked.bin", sampleBytes({1, 2, 3, 10}, 2));
    // No spacing in the header: the fallback is reported in the JSON, not on stderr.
    const QJsonObject pickedReport = reportOf({header, data});
    expectFields(
        pickedReport,
        R"({"data_source": "file", "max": 10, "mean": 4, "spacing": [1, 1, 1], "read_in_place": false})");
    EXPECT_EQ(pickedReport["data_file"], QFileInfo(data).absoluteFilePath());
    EXPECT_EQ(pickedReport["notes"].toArray().size(), 1);

    // Over the RAM budget it is read in place, and not read whole for its statistics.
    const QJsonObject inPlace = reportOf({"--ram-budget", "0.000001", header, data});
    expectFields(inPlace, R"({"read_in_place": true, "max": null})");
    EXPECT_EQ(inPlace["data_file"], pickedReport["data_file"]);

    // Double volumes at both ends of the finite: from -1e308 to 1e308, wider than the largest
    // double, and from 0 to the smallest denormal, whose span divided over the texels is 0.
    // Each rescale is positive and finite, and the report gives the file's extremes back.
    const std::vector<double> ranges[] = {{-1e308, 0.0, 1e308}, {0.0, 0.0, 5e-324}};
    for (const std::vector<double>& values : ranges) {
        SCOPED_TRACE(values.back());
        const QJsonObject extremes = reportOf(
            {files.write("extremes.nrrd", nrrdHeader("double", {3, 1, 1}, "raw", "endian: little\n") + "\n" +
                                              bytesOf(values))});
        // Not a number or infinite, it would be null in the JSON, read as 0.
        EXPECT_GT(extremes["value_scale"].toDouble(), 0.0);
        EXPECT_EQ(extremes["min"].toDouble(), values.front());
        EXPECT_NEAR(extremes["max"].toDouble() / values.back(), 1.0, 1e-12);
        EXPECT_NEAR(extremes["mean"].toDouble(), (values[0] + values[1] + values[2]) / 3,
                    extremes["value_scale"].toDouble());
    }
}

TEST(NrrdInspect, RefusesWithOneLineOnStderrAndNothingOnStdout) {
    TestFolder files;
    const QString shortFile =
        files.write("short.nrrd", kSignedHeader + "\n" + gzipped(sampleBytes({1, 2, 3}, 2, ByteOrder::Big)));
    const QString wide =
        files.write("wide.nrrd", QByteArray(kSignedHeader).replace("sizes: 2 2 2", "sizes: 2 2 600") + "\n" +
                                     gzipped(sampleBytes(std::vector<int>(2400, 1), 2, ByteOrder::Big)));
    const QString column =
        files.write("column.nrrd", nrrdHeader("ushort", {1, 1, 20000}, "raw", "endian: little\n\n") +
                                       QByteArray(40000, '\0'));
    // A compressed header of 32767^3 int16 samples (64 TiB) within a budget of 1e9 MB: its
    // length cannot be checked against the file, and memory the machine cannot give is a
    // refusal too.
    const std::int64_t hugeDims[8] = {3, 32767, 32767, 32767, 1, 1, 1, 1};
    const std::unique_ptr<nifti_1_header, decltype(&std::free)> hugeHeader(
        nifti_make_new_n1_header(hugeDims, DT_INT16), &std::free);
    const QString huge = files.write(
        "huge.nii.gz",
        gzipped(QByteArray(reinterpret_cast<const char*>(hugeHeader.get()), sizeof(nifti_1_header)) +
                QByteArray(64, '\0')));
    // The arguments of each run and a part of the one line it writes.
    const std::pair<QStringList, const char*> cases[] = {
        {{"--ram-budget", "1e9", huge}, "not enough memory to import huge.nii.gz"},
        {{shortFile}, "short.nrrd: The gzip data inflates to 6 bytes"},
        {{files.path("absent.nhdr")}, "absent.nhdr does not exist"},
        {{"--ram-budget", "0.001", wide}, "more than the RAM budget of 0.001 MB"},
        // The window's reason: its levels stacked along x, 625 bricks of 32 voxels along z.
        {{"--max-texture-size", "256", column}, "too long for this GPU: its page table needs 5 x 1 x 625"},
    };
    for (const auto& [arguments, reason] : cases) {
        const Finished refused = run(arguments);
        EXPECT_EQ(
            std::tuple(refused.exitCode, refused.out, refused.err.count('\n'), refused.err.endsWith('\n')),
            std::tuple(1, QByteArray(), 1, true))
            << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(reason)) << refused.err.toStdString();
    }
    EXPECT_EQ(run({wide}).exitCode, 0);
    EXPECT_EQ(run({column}).exitCode, 0);
    // No file at all is a usage error.
    const Finished usage = run({});
    EXPECT_EQ(std::tuple(usage.exitCode, usage.out, usage.err.contains("Usage")),
              std::tuple(2, QByteArray(), true));
}

TEST(DicomInspect, ReadsTheSeriesOfTheFileOrTheOneNamedInAFolderOfSeveral) {
    TestFolder files;
    const QString folder = QFileInfo(files.write("notes.txt", "not an image\n")).absolutePath();
    DicomTestSeries{}.write(folder);
    const DicomTestSeries chest{.depth = 3, .uid = DicomTestSeries{}.uid + ".2", .fileNumbers = {11, 12, 13}};
    chest.write(folder);

    const Finished ambiguous = run({folder});
    EXPECT_EQ(ambiguous.exitCode, 1);
    EXPECT_TRUE(ambiguous.err.contains("There are 2 series; choose one with --series UID"))
        << ambiguous.err.toStdString();
    EXPECT_TRUE(ambiguous.err.contains(chest.uid.toLatin1()));

    for (const QStringList& arguments :
         {QStringList{"--series", chest.uid, folder}, QStringList{files.path("IM0012.dcm")}}) {
        const QJsonObject report = reportOf(arguments);
        expectFields(report, R"({"format": "dicom", "depth": 3, "spacing": [0.5, 0.75, 2]})");
        EXPECT_EQ(report["series"], chest.uid);
        EXPECT_EQ(report["header"], QFileInfo(arguments.last()).absoluteFilePath());
        EXPECT_EQ(report["min"], chest.stored(0, 0, 0) - 1024);
        EXPECT_EQ(report["max"], chest.stored(7, 5, 2) - 1024);
    }
}

} // namespace
