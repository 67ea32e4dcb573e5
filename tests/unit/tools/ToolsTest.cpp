#include "BenchOptions.h"
#include "DicomTestSeries.h"
#include "FrameStats.h"
#include "HeadPhantom.h"
#include "RawFileWriter.h"
#include "SampleFiles.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"
#include "volume/zarr/OmeZarrWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <nifti2_io.h>
#include <random>

namespace {

// The whole head on a coarse grid: cheap enough for every run, sanitizers included.
const SampleGrid kCoarse = gridOverLargeSample(64, 64, 58);

// The index of the voxel whose centre is nearest to a coordinate in mm from the centre of the grid.
std::size_t indexOf(float mm, std::size_t count, float spacing) {
    return static_cast<std::size_t>(mm / spacing + static_cast<float>(count) * 0.5f);
}

// Air around the head, bone in the skull's range, brain in the middle, and
// intermediate values where boundaries are blended; the same whatever the number of workers.
TEST(Generator, HeadHasCtValuesAndSmoothBoundariesWhateverTheNumberOfWorkers) {
    const std::vector<std::uint16_t> v = renderHeadVolume(kCoarse, 1);
    ASSERT_EQ(v.size(), kCoarse.samples());
    EXPECT_EQ(renderHeadVolume(kCoarse, 3), v);
    EXPECT_EQ(renderHeadVolume(kCoarse, 0), v);
    EXPECT_EQ(std::tuple(v.front(), v.back()), std::tuple(0, 0)); // the first and last corners
    // Deep in the left hemisphere, well away from the ventricles: brain.
    const std::size_t x = indexOf(-37.0f, 64, kCoarse.spacingX), y = indexOf(0.0f, 64, kCoarse.spacingY),
                      z = indexOf(36.0f, 58, kCoarse.spacingZ);
    EXPECT_NEAR(v[(z * 64 + y) * 64 + x], 1060, 12);

    // Bone: the highest sample lies in the skull's range.
    const std::uint16_t highest = *std::max_element(v.begin(), v.end());
    EXPECT_GE(highest, 1500);
    EXPECT_LE(highest, 2500);
    const auto count = [&](int lo, int hi) {
        return std::count_if(v.begin(), v.end(), [=](std::uint16_t s) { return s >= lo && s <= hi; });
    };
    EXPECT_GT(count(900, 960), 0) << "fat";
    EXPECT_GT(count(1020, 1040), 0) << "CSF and ventricles";
    EXPECT_GT(count(100, 800), 0) << "blended skin edge";
}

// Nothing appears under the final name before the commit, and no part file stays after it;
// a failed write names the file and leaves nothing behind. The byte orders are checked
// against each other in the build's resources below.
TEST(Generator, WritesUnderTheFinalNameOnlyOnCommitAndLeavesNothingWhenItFails) {
    QTemporaryDir dir;
    RawFileWriter file(dir.filePath("v.raw"), RawFileWriter::ByteOrder::Big);
    EXPECT_TRUE(file.write(std::vector<std::uint16_t>(60, 0x0102)));
    EXPECT_FALSE(QFile::exists(dir.filePath("v.raw")));
    ASSERT_EQ(file.commit(), std::nullopt);
    EXPECT_EQ(readFile(dir.filePath("v.raw")), QByteArray("\x01\x02", 2).repeated(60));
    const auto written = [&] { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); };
    EXPECT_EQ(written(), QStringList{"v.raw"});

    const auto failure = writeHeadVolume(dir.filePath("no/such/folder/v.raw"), kCoarse);
    EXPECT_TRUE(failure.value_or("").contains("v.raw")) << qPrintable(failure.value_or("none"));
    EXPECT_EQ(written(), QStringList{"v.raw"});
}

// The build writes the resources of the viewer; the 512 head is checked by size only.
TEST(Generator, BuildWroteTheSampleResources) {
    const QDir resources(VOXVIEW_RESOURCES_DIR);
    EXPECT_EQ(QFileInfo(resources.filePath("512x512x463-16U.raw")).size(), 242'745'344);
    const QByteArray small = readFile(resources.filePath("256x256x113-16.raw"));
    ASSERT_EQ(small.size(), 14'811'136);
    // The 256 head is what the generator renders, little-endian as this host holds it.
    const std::vector<std::uint16_t> head = renderHeadVolume(kSmallSampleGrid);
    EXPECT_EQ(small, bytesOf(head));
    // Each CThead slice is the matching slice of the 256 head, big-endian.
    const QByteArray bigEndian = sampleBytes(std::vector<int>(head.begin(), head.end()), 2, ByteOrder::Big);
    for (int i = 1; i <= 113; ++i)
        EXPECT_EQ(readFile(resources.filePath("CThead/CThead.%1").arg(i)),
                  bigEndian.sliced((i - 1) * 131'072, 131'072))
            << "slice " << i;
}

// Each refusal names the option (or the stray argument) it starts with.
TEST(BenchOptions, RejectsBadArgumentsNamingTheProblem) {
    const char* cases[] = {"--size 512",
                           "--size 512 wide",
                           "--size 0 512",
                           "--size 512 100000",
                           "--frames 0",
                           "--frames -3",
                           "--quality best",
                           "--mode volume",
                           "--sampling 0",
                           "--window 40",
                           "--window liver",
                           "--json",
                           "--fast",
                           "head.nrrd",
                           "--gpu-budget 0",
                           "--ram-budget lots",
                           "--warm-up-limit 0",
                           "--lookup warm"};
    for (const char* arguments : cases) {
        const QStringList split = QString::fromLatin1(arguments).split(' ');
        const auto parsed = BenchOptions::parse(split);
        const QString* reason = std::get_if<QString>(&parsed);
        ASSERT_NE(reason, nullptr) << arguments;
        EXPECT_TRUE(reason->contains(split.first())) << qPrintable(*reason);
    }
}

TEST(BenchOptions, DefaultsToTheSampleAtFullQualityAndReadsEveryOption) {
    const BenchOptions defaults = std::get<BenchOptions>(BenchOptions::parse({}));
    EXPECT_EQ(std::tuple(defaults.usesSample(), defaults.size, defaults.quality,
                         defaults.jsonPath + defaults.pngPath),
              std::tuple(true, QSize(512, 512), BenchOptions::Quality::Full, QString()));
    const auto parsed = BenchOptions::parse(
        QStringLiteral("--volume head.nhdr --size 1024 768 --frames 60 --json out.json --png last.png "
                       "--quality interactive --mode minip --sampling 8 --lookup default --window -600 1500 "
                       "--gpu-budget 256 --ram-budget 8192 --warm-up-limit 600")
            .split(QLatin1Char(' ')));
    const BenchOptions* options = std::get_if<BenchOptions>(&parsed);
    ASSERT_NE(options, nullptr);
    EXPECT_FALSE(options->usesSample());
    EXPECT_EQ(QStringList({options->volume, options->jsonPath, options->pngPath}),
              QStringList({"head.nhdr", "out.json", "last.png"}));
    EXPECT_EQ(std::tuple(options->size, options->frames, options->sampling, options->warmUpLimitSeconds),
              std::tuple(QSize(1024, 768), 60, 8, 600));
    EXPECT_EQ(std::tuple(options->quality, options->mode, options->lookup),
              std::tuple(BenchOptions::Quality::Interactive, RenderMode::Minip, ColourLookup::Default));
    ASSERT_TRUE(options->window.has_value());
    EXPECT_EQ(std::pair(options->window->level, options->window->width),
              std::pair(std::int64_t{-600}, std::int64_t{1500}));
    EXPECT_EQ(std::pair(options->gpuBudgetBytes, options->ramBudgetBytes),
              std::pair(std::uint64_t{256} << 20, std::uint64_t{8} << 30));
    const auto named = BenchOptions::parse({"--window", "soft-tissue"});
    EXPECT_EQ(std::get<BenchOptions>(named).windowPreset, WindowPreset::SoftTissue);
}

TEST(FrameStats, LeaveTheFirstFrameOutOfTheSteadyFigures) {
    const struct {
        std::vector<double> times;
        double first, median, p90;
    } cases[] = {{{}, 0.0, 0.0, 0.0},
                 {{7.0}, 7.0, 7.0, 7.0},
                 // steady: 1 2 3 (odd count): median 2, 90 % rank ceil(2.7) = 3rd
                 {{100.0, 3.0, 1.0, 2.0}, 100.0, 2.0, 3.0},
                 // steady: 1 2 3 4: median 2.5, 90 % rank ceil(3.6) = 4th
                 {{50.0, 4.0, 2.0, 1.0, 3.0}, 50.0, 2.5, 4.0},
                 // steady: 1 … 10: 90 % rank 9 exactly
                 {{9.0, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 9.0, 5.5, 9.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.times.size());
        const FrameStats stats = FrameStats::fromTimes(c.times);
        EXPECT_EQ(std::tuple(stats.frames, stats.firstMs, stats.medianMs, stats.p90Ms),
                  std::tuple(static_cast<int>(c.times.size()), c.first, c.median, c.p90));
    }
}

// voxview and voxview-inspect end to end: the executables as users and scripts run them.

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
        {"--transfer-function /nonexistent/bone.json", 2, "/nonexistent/bone.json cannot be read"},
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
        R"({"data_source": "file", "max": 10, "mean": 4, "spacing": [1, 1, 1], "read_in_place": false,
            "orientation": null})");
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
        expectFields(report,
                     R"({"format": "dicom", "depth": 3, "spacing": [0.5, 0.75, 2], "orientation": "LPS",
            "orientation_axes": [[1, 0, 0], [0, 1, 0], [0, 0, 1]]})");
        EXPECT_EQ(report["series"], chest.uid);
        EXPECT_EQ(report["header"], QFileInfo(arguments.last()).absoluteFilePath());
        EXPECT_EQ(report["min"], chest.stored(0, 0, 0) - 1024);
        EXPECT_EQ(report["max"], chest.stored(7, 5, 2) - 1024);
    }
}

} // namespace

// A volume of odd sizes over several chunks written by voxview-convert, inspected, and read
// back by the viewer and by python3-zarr: level 0 holds every sample as written, level 1 the
// 2 x 2 x 2 means. A write given up leaves nothing behind; a folder that is not a store is
// never replaced.
TEST(ConvertTool, WritesAStoreThatReadsBackVoxelForVoxel) {
    TestFolder files;
    std::vector<int> samples(70 * 66 * 3);
    std::minstd_rand random;
    for (int& sample : samples)
        sample = int(random() % 4000) - 1000;
    const QString volume = files.write(
        "v.nrrd", nrrdHeader("short", {70, 66, 3}, "raw", "endian: little\nspacings: 0.5 0.25 2\n") + "\n" +
                      sampleBytes(samples, 2));
    const QString store = files.path("v.zarr");
    const Finished converted = run({volume, store}, VOXVIEW_CONVERT_PATH);
    ASSERT_EQ(converted.exitCode, 0) << converted.err.toStdString();
    const QJsonObject report = reportOf({store});
    EXPECT_EQ(report["min"], *std::min_element(samples.begin(), samples.end()));
    EXPECT_EQ(report["max"], *std::max_element(samples.begin(), samples.end()));
    expectFields(
        report,
        R"({"format": "ome-zarr", "chunks": [64, 64, 64], "codec": "blosc", "spacing": [0.5, 0.25, 2], "levels": [{"path": "0", "shape": [3, 66, 70], "scale": [2, 0.25, 0.5]},
        {"path": "1", "shape": [2, 33, 35], "scale": [4, 0.5, 1]}]})");
    EXPECT_EQ(samplesOf(volumeOf(VolumeFile::read(store))), samples);
    const QByteArray python = runPython(
        {"-c",
         "import sys, zarr, numpy as n; z = zarr.open(sys.argv[1], 'r'); a = n.fromfile(sys.argv[2], '<i2', "
         "offset=int(sys.argv[3])).reshape(3, 66, 70); p = n.full((4, 66, 70), n.nan); p[:3] = a;"
         "m = n.nanmean(p.reshape(2, 2, 33, 2, 35, 2), axis=(1, 3, 5));"
         "print(int((z['0'][...] == a).all()), int(abs(z['1'][...] - m).max() <= 0.5))",
         store, volume, QString::number(QFileInfo(volume).size() - qint64(samples.size() * 2))});
    EXPECT_EQ(python.trimmed(), "1 1");

    std::stop_source stop;
    stop.request_stop();
    const VolumeRecord record = volumeOf(VolumeFile::read(volume));
    EXPECT_TRUE(
        OmeZarrWriter::write(record, files.path("cancelled.zarr"), ImportProgress({}, stop.get_token())));
    EXPECT_EQ(QDir(files.dir().path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"v.nrrd", "v.zarr"}));
    // Floats rescaled into 16 bits read back in their own units.
    const std::vector<float> floats{-2.25f, 0.5f, 1e4f, 3.0f};
    const VolumeRecord rescaled = volumeOf(VolumeFile::read(files.write(
        "f.nrrd", nrrdHeader("float", {2, 2, 1}, "raw", "endian: little\n") + "\n" + bytesOf(floats))));
    ASSERT_FALSE(OmeZarrWriter::write(rescaled, files.path("f.zarr")));
    EXPECT_EQ(valuesOf(volumeOf(VolumeFile::read(files.path("f.zarr")))), valuesOf(rescaled));
    // So do texels that stand for samples offset otherwise than signed 16-bit ones (a DICOM
    // series' intercept of −1024), and their window.
    VolumeRecord intercept =
        testvolumes::record(4, 3, 2, [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
            return std::uint16_t(x * 1000 + y * 7 + z);
        });
    intercept.sampleOffset = -1024;
    intercept.fileWindow = VolumeRecord::Window{40, 400};
    ASSERT_FALSE(OmeZarrWriter::write(intercept, files.path("i.zarr")));
    const VolumeRecord hounsfield = volumeOf(VolumeFile::read(files.path("i.zarr")));
    EXPECT_EQ(valuesOf(hounsfield), valuesOf(intercept));
    ASSERT_TRUE(hounsfield.fileWindow);
    EXPECT_DOUBLE_EQ(hounsfield.fileWindow->level, 40);
    EXPECT_DOUBLE_EQ(hounsfield.fileWindow->width, 400);
    const std::optional<ImportRefusal> refused = OmeZarrWriter::write(record, volume);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->reason.contains("not an OME-Zarr store")) << refused->reason.toStdString();
}
