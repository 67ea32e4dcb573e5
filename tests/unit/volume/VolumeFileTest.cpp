#include "volume/core/VolumeFile.h"

#include "DicomTestSeries.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "render/scene/VolumeSurvey.h"
#include "volume/dicom/DicomFileCheck.h"
#include "volume/dicom/DicomSeriesScanner.h"
#include "volume/dicom/DicomSliceOrder.h"
#include "volume/worker/ImportWorker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <nifti1.h>
#include <optional>
#include <stop_token>
#include <sys/stat.h>
#include <thread>
#include <tiffio.h>
#include <unistd.h>

// NIfTI, TIFF and DICOM files written by their own libraries, read through the dispatch
// the window, the command line and voxview-inspect share.
namespace {

constexpr int kWidth = 4;
constexpr int kHeight = 3;
constexpr int kPixels = kWidth * kHeight;

struct Expected {
    VolumeFormat format;
    std::array<std::uint32_t, 3> size;
    std::array<float, 3> spacing;
    std::vector<double> values;
    const char* note; // in the notes ("" for none expected)
};

class VolumeFileTest : public testing::Test {
  protected:
    void expectVolume(const QString& path, const Expected& expected) {
        EXPECT_EQ(VolumeFile::detect(path), expected.format);
        const VolumeRecord volume = volumeOf(VolumeFile::read(path));
        EXPECT_EQ(volume.format, VolumeFile::formatName(expected.format));
        EXPECT_EQ((std::array{volume.width, volume.height, volume.depth}), expected.size);
        EXPECT_EQ((std::array{volume.cellspaceX, volume.cellspaceY, volume.cellspaceZ}), expected.spacing);
        EXPECT_THAT(
            valuesOf(volume),
            testing::Pointwise(testing::DoubleNear(std::fabs(volume.valueScale) / 2), expected.values));
        EXPECT_THAT(volume.notes.join(' ').toStdString(), testing::HasSubstr(expected.note));
    }

    TestFolder m_files;
};

TEST_F(VolumeFileTest, ReadsNiftiOneAndTwoWithSpacingAndRescale) {
    // CT numbers from -1000 upwards in steps of 100, two slices of 4 x 3.
    std::vector<std::int16_t> slices(2 * kPixels);
    for (std::size_t i = 0; i < slices.size(); ++i)
        slices[i] = static_cast<std::int16_t>(-1000 + 100 * static_cast<int>(i));
    const std::vector<double> asStored(slices.begin(), slices.end());
    std::vector<double> rescaled;
    for (const double value : asStored)
        rescaled.push_back(value * 0.5 - 24.0);
    std::vector<float> series(2 * kPixels * 2);
    for (std::size_t i = 0; i < series.size(); ++i)
        series[i] = i < 2 * kPixels ? 0.25f * static_cast<float>(i) : -7.0f;
    const std::vector<double> firstVolume(series.begin(), series.begin() + 2 * kPixels);

    // The two slices as int16 with the given voxel size, rescale and NIfTI version.
    const auto ct = [&](std::array<double, 3> pixdim, double slope = 0, double intercept = 0,
                        bool two = false) {
        return NiftiFile{{3, 4, 3, 2, 1}, DT_INT16, bytesOf(slices), pixdim, slope, intercept, two};
    };
    const auto shown = [](std::array<float, 3> spacing, const std::vector<double>& values,
                          const char* note = "") {
        return Expected{VolumeFormat::Nifti, {4, 3, 2}, spacing, values, note};
    };
    const struct {
        const char* file;
        NiftiFile nifti;
        Expected expected;
    } cases[] = {
        // NIfTI-1, a negative pixdim
        {"ct.nii", ct({-0.5, 0.5, 2.0}), shown({0.5f, 0.5f, 2.0f}, asStored)},
        // NIfTI-1 gzipped, with slope and intercept
        {"ct.nii.gz", ct({1, 1, 1}, 0.5, -24.0), shown({1, 1, 1}, rescaled)},
        {"nifti2.nii", ct({0.8, 0.8, 1.5}, 0, 0, true), shown({0.8f, 0.8f, 1.5f}, asStored)},
        // .hdr and .img
        {"pair.hdr", ct({1, 1, 3}), shown({1, 1, 3}, asStored)},
        // a pixdim below float's normal range
        {"tiny.nii", ct({0.5, 1e-40, 2.0}), shown({0.5f, 1.0f, 2.0f}, asStored, "no usable voxel spacing")},
        // a 4-D float series: the first volume
        {"fmri.nii",
         {{4, 4, 3, 2, 2}, DT_FLOAT32, bytesOf(series), {3.0, 3.0, 3.0}},
         shown({3, 3, 3}, firstVolume, "series of 2 volumes; the first is shown")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = m_files.path(QString::fromLatin1(c.file));
        writeNifti(path, c.nifti);
        expectVolume(path, c.expected);
    }
}

// The patient sides the voxel axes point to ("LPS": +x left, +y posterior, +z superior).
std::string orientationCode(const VolumeRecord& volume) {
    return volume.orientation ? volume.orientation->code().toStdString() : "none";
}

// NRRD's space and space directions, and NIfTI's sform before its qform, turned into LPS
// patient directions; axes permuted and flipped keep their letters.
TEST_F(VolumeFileTest, ReadsThePatientDirectionsOfTheVoxelAxes) {
    const QByteArray samples = sampleBytes(ramp(kPixels * 2), 2);
    const std::pair<const char*, const char*> nrrds[] = {
        {"space: RAS\nspace directions: (0.5,0,0) (0,0.5,0) (0,0,2)\n", "RAS"},
        {"space: left-posterior-superior\nspace directions: (0,0,-2) (0.5,0,0) (0,-0.7,0)\n", "ILA"},
        {"space: right-anterior-superior\nspace directions: (0,1,0) (0,0,1) (-1,0,0)\n", "ASL"},
        {"space: LAS\nspace directions: (1,0,0) (0,1,0) (0,0,1)\n", "LAS"},
        {"space: scanner-xyz\nspace directions: (1,0,0) (0,1,0) (0,0,1)\n", "none"},
        {"space: LPS\nspace directions: (1,0,0) none (0,0,1)\n", "none"},
    };
    for (const auto& [lines, code] : nrrds) {
        const QByteArray file = nrrdHeader("ushort", {kWidth, kHeight, 2}, "raw", lines) + "\n" + samples;
        EXPECT_EQ(orientationCode(volumeOf(readNrrd(m_files.write("oriented.nrrd", file)))), code) << lines;
    }
    // The sform leads left, anterior, superior; the qform posterior, inferior, right.
    const std::tuple<int, int, const char*> niftis[] = {
        {NIFTI_XFORM_SCANNER_ANAT, NIFTI_XFORM_SCANNER_ANAT, "LAS"},
        {0, NIFTI_XFORM_ALIGNED_ANAT, "PIR"},
        {0, 0, "none"}};
    for (const auto& [sformCode, qformCode, code] : niftis) {
        const QString path = m_files.path(QStringLiteral("oriented.nii"));
        writeNifti(path, {.dims = {3, kWidth, kHeight, 2, 1},
                          .datatype = DT_UINT16,
                          .samples = samples,
                          .sformCode = sformCode,
                          .sform = {{{-2, 0, 0, 10}, {0, 2, 0, 0}, {0, 0, 3, 0}}},
                          .qformCode = qformCode,
                          .qform = {{{0, 0, 1, 0}, {-1, 0, 0, 0}, {0, -1, 0, 0}}}});
        EXPECT_EQ(orientationCode(volumeOf(VolumeFile::read(path))), code) << sformCode << qformCode;
    }
}

TEST_F(VolumeFileTest, ReadsTiffStacksWithTheirSpacing) {
    std::vector<TiffPage> pages;
    std::vector<double> ramp16, floats;
    for (int z = 0; z < 3; ++z) {
        const std::vector<int> page = ramp(kPixels, 1000 * z);
        ramp16.insert(ramp16.end(), page.begin(), page.end());
        pages.push_back({kWidth, kHeight, 16, SAMPLEFORMAT_UINT, 1, sampleBytes(page, 2)});
    }
    // One pixel per unit: ImageJ's micron wins over the tag's centimetre.
    writeTiff(m_files.path("stack.tif"), pages,
              "ImageJ=1.54f\nimages=3\nslices=3\nunit=micron\nspacing=2.5\n", 1.0f);
    writeTiff(m_files.path("channels.tif"), pages, "ImageJ=1.11a\nimages=3\nchannels=3\nhyperstack=true\n");
    for (std::size_t z = 0; z < 2; ++z) {
        std::vector<float> page(kPixels);
        for (std::size_t i = 0; i < kPixels; ++i)
            floats.push_back(page[i] = 0.001f * static_cast<float>(z * kPixels + i));
        writeTiff(m_files.path(QStringLiteral("slice_%1.tif").arg(9 + z)),
                  {{kWidth, kHeight, 32, SAMPLEFORMAT_IEEEFP, 1, bytesOf(page)}}, {}, 20.0f); // 0.5 mm
    }
    writeTiff(m_files.path("single.tiff"), {{.bitsPerSample = 8, .samples = QByteArray(kPixels, 7)}});

    const auto tiff = [](std::array<std::uint32_t, 3> size, std::array<float, 3> spacing,
                         const std::vector<double>& values, const char* note = "") {
        return Expected{VolumeFormat::Tiff, size, spacing, values, note};
    };
    const std::pair<const char*, Expected> cases[] = {
        {"stack.tif", tiff({4, 3, 3}, {0.001f, 0.001f, 0.0025f}, ramp16)},
        // Some writers label a plain stack's pages as channels: still one stack.
        {"channels.tif",
         tiff({4, 3, 3}, {1, 1, 1}, ramp16, "3 channels of channels.tif are shown as slices")},
        // Picking the later file of the numbered pair opens both, in numeric order (9, 10).
        {"slice_10.tif", tiff({4, 3, 2}, {0.5f, 0.5f, 0.5f}, floats, "no slice spacing")},
        {"single.tiff", tiff({4, 3, 1}, {1, 1, 1}, std::vector<double>(kPixels, 7.0), "no pixel size")},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        expectVolume(m_files.path(file), expected);
    }
}

TEST_F(VolumeFileTest, RefusesWhatItCannotShowAndSaysWhy) {
    const TiffPage page{.samples = QByteArray(2 * kPixels, '\1')};
    writeTiff(m_files.path("rgb.tif"),
              {{.bitsPerSample = 8, .samplesPerPixel = 3, .samples = QByteArray(3 * kPixels, 'x')}});
    writeTiff(m_files.path("hyper.tif"), {page}, "ImageJ=1.54f\nimages=4\nchannels=2\nslices=2\n");
    writeTiff(m_files.path("odd_1.tif"), {page});
    writeTiff(m_files.path("odd_2.tif"), {{.bitsPerSample = 8, .samples = QByteArray(kPixels, 'x')}});
    // Noise, which LZW cannot shrink: cutting the file cuts pages off.
    QByteArray noise(64 * 64 * 2, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const TiffPage noisy{.width = 64, .height = 64, .samples = noise};
    writeTiff(m_files.path("cut.tif"), {noisy, noisy, noisy});
    writeNifti(m_files.path("rgb.nii"), {{3, 4, 3, 1, 1}, DT_RGB24, QByteArray(3 * kPixels, 'x')});
    writeNifti(m_files.path("short.nii"), {{3, 64, 64, 4, 1}, DT_INT16, QByteArray(64 * 64 * 4 * 2, 'x')});
    QFile::resize(m_files.path("short.nii"), 2000);
    // A NIfTI-2 header of 2 x 1 x ... voxels whose dim[0] is far above 7, as one cut byte
    // makes it: nifticlib writes past its arrays before it checks dim[0].
    QByteArray ranked(544 + 4, '\0');
    qToLittleEndian<qint32>(540, ranked.data());
    ranked.replace(4, 8, QByteArray("n+2\0\r\n\x1a\n", 8));
    qToLittleEndian<qint16>(DT_INT16, ranked.data() + 12);
    qToLittleEndian<qint64>(0x2f00000003, ranked.data() + 16); // dim[0]
    qToLittleEndian<qint64>(2, ranked.data() + 24);            // dim[1]
    qToLittleEndian<qint64>(544, ranked.data() + 168);         // vox_offset
    m_files.write("ranked.nii", ranked);
    QFile::resize(m_files.path("cut.tif"), QFileInfo(m_files.path("cut.tif")).size() * 2 / 3);
    m_files.write("notes.txt", "not a volume");
    for (const char* name : {"gap_1.tif", "gap_2.tif", "gap_4.tif", "dup_5.tif", "dup_005.tif"})
        writeTiff(m_files.path(name), {page});

    // Each file and a part of the reason it is refused.
    const std::pair<const char*, const char*> cases[] = {
        {"rgb.tif", "colour images"},
        {"hyper.tif", "hyperstack of 2 slices, 2 channels and 1 frames"},
        {"odd_1.tif", "odd_2.tif, slice 2, is 4 x 3 uint8 where the stack is 4 x 3 uint16"},
        {"cut.tif", "cut short"},
        {"rgb.nii", "RGB24 cannot be shown"},
        {"short.nii", "short or damaged"},
        {"ranked.nii", "header of 201863462915 dimensions"},
        {"notes.txt", "none of the formats"},
        {"missing.nii", "does not exist"},
        {"gap_1.tif", "jump from gap_2.tif to gap_4.tif where the others go up by 1"},
        {"dup_5.tif", "dup_005.tif and dup_5.tif carry the same slice number (5)"},
    };
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(file);
        EXPECT_THAT(reasonOf(VolumeFile::read(m_files.path(QString::fromLatin1(file)))),
                    testing::HasSubstr(reason));
    }
}

// Every reader counts what decoding holds at its peak (samples at their own width, the
// texels, the library's buffers) against the RAM budget before it allocates. Budgets in
// bytes per voxel of a 16 x 16 x 16 volume: wide samples without room for their texels
// beside them are refused, and 8- and 16-bit samples that become texels where they are
// read fit in little more than the texels.
TEST_F(VolumeFileTest, EveryReaderKeepsItsDecodingPeakWithinTheRamBudget) {
    constexpr int kSide = 16, kPage = kSide * kSide;
    constexpr std::size_t kVoxels = kSide * kPage;
    const std::vector<int> shorts = ramp(kVoxels, -2048);
    std::vector<int> bytes; // 0 ... 255, over and over
    for (const int i : ramp(kVoxels))
        bytes.push_back(i % 256);
    const std::vector<double> doubles(shorts.begin(), shorts.end());
    const std::vector<float> floats(shorts.begin(), shorts.end());
    const QByteArray shortBytes = sampleBytes(shorts, 2), floatBytes = bytesOf(floats);
    const auto nifti = [&](int datatype, const QByteArray& samples) {
        return NiftiFile{{3, kSide, kSide, kSide, 1}, datatype, samples};
    };
    writeNifti(m_files.path("double.nii"), nifti(DT_FLOAT64, bytesOf(doubles)));
    writeNifti(m_files.path("short.nii"), nifti(DT_INT16, shortBytes));
    writeNifti(m_files.path("byte.nii.gz"), nifti(DT_UINT8, sampleBytes(bytes, 1)));
    std::vector<TiffPage> floatPages, shortPages;
    for (int z = 0; z < kSide; ++z) {
        floatPages.push_back(
            {kSide, kSide, 32, SAMPLEFORMAT_IEEEFP, 1, floatBytes.sliced(4 * kPage * z, 4 * kPage)});
        shortPages.push_back(
            {kSide, kSide, 16, SAMPLEFORMAT_INT, 1, shortBytes.sliced(2 * kPage * z, 2 * kPage)});
    }
    writeTiff(m_files.path("float.tif"), floatPages);
    writeTiff(m_files.path("short.tif"), shortPages);
    m_files.write("double.nrrd", nrrdHeader("double", {kSide, kSide, kSide}, "raw", "endian: little\n") +
                                     "\n" + bytesOf(doubles));
    QDir(m_files.dir().path()).mkdir("dicom");
    DicomTestSeries{.width = kSide, .height = kSide, .depth = kSide}.write(m_files.path("dicom"));

    const struct {
        const char* file;
        double budgetPerVoxel;
        bool read;
        const std::vector<int>* samples; // as read, where they must arrive exactly
    } cases[] = {
        {"double.nii", 8, false, nullptr},  {"double.nii", 11, true, nullptr},
        {"short.nii", 2.5, true, &shorts},  {"byte.nii.gz", 2.5, true, &bytes},
        {"float.tif", 5, false, nullptr},   {"float.tif", 7, true, nullptr},
        {"short.tif", 2.5, true, &shorts},  {"double.nrrd", 9, false, nullptr},
        {"double.nrrd", 11, true, nullptr}, {"dicom", 2, false, nullptr},
        {"dicom", 4, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.budgetPerVoxel) + " bytes a voxel");
        const ImportResult<VolumeRecord> result =
            VolumeFile::read(m_files.path(QString::fromLatin1(c.file)),
                             {.ramBudgetBytes = static_cast<std::uint64_t>(c.budgetPerVoxel * kVoxels)});
        if (!c.read) {
            EXPECT_THAT(reasonOf(result), testing::HasSubstr("more than the RAM budget"));
            continue;
        }
        const VolumeRecord volume = volumeOf(result);
        EXPECT_EQ(volume.data.size(), kVoxels * 2);
        if (c.samples) {
            EXPECT_EQ(samplesOf(volume), *c.samples);
        }
    }
}

// Pipes, devices, dangling links and files under /proc wherever an import opens
// a file: each is refused by name (or passed over in a DICOM folder), never read.

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
} kSpecialFiles[] = {
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
    for (const auto& c : kSpecialFiles) {
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

// DICOM series written by GDCM's writer, read back as the import reads them: whole,
// damaged, and through the import worker.

using TS = gdcm::TransferSyntax;

const struct {
    const char* name;
    DicomTestSeries series;
    const char* note;                // a note the record must carry, or nullptr for none
    const char* reason;              // a part of the refusal; nullptr where the series is read
    const char* orientation = "LPS"; // the letters of the voxel axes' patient sides
} kSeries[] = {
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
    {"sagittal", {.orientation = {0, 1, 0, 0, 0, -1}}, nullptr, nullptr, "PIR"},
    {"one multi-frame file", {.multiFrame = true}, "multi-frame", nullptr},
    // Frames are shown as stored: their z runs the way the frames do.
    {"multi-frame, top down",
     {.positions = {8, 6, 4, 2, 0}, .multiFrame = true},
     "multi-frame",
     nullptr,
     "LPI"},
    {"multi-frame sagittal",
     {.orientation = {0, 1, 0, 0, 0, -1}, .multiFrame = true},
     "multi-frame",
     nullptr,
     "PIR"},
    {"multi-frame with gantry tilt",
     {.positions = {0, 2, 4, 6, 8}, .shear = 0.2, .multiFrame = true},
     "frames run 11.3° off the normal",
     nullptr,
     "none"},
    {"gantry tilt", {.positions = {0, 2, 4, 6, 8}, .shear = 0.2}, "gantry tilt of 11.3°", nullptr},
    {"uneven", {.positions = {0, 2, 4, 7, 9}}, nullptr, "spacing is uneven: gaps range from 2 to 3 mm"},
    {"missing slice", {.positions = {0, 2, 4, 8, 10}}, nullptr, "Slices are missing between 34 and 38 mm"},
    {"two volumes", {.positions = {0, 2, 2, 4, 6}}, nullptr, "lie at the same position (32 mm)"},
    {"too far apart", {.positions = {0, 1e300, 2e300, 3e300, 4e300}}, nullptr, "lie 1e+300 mm apart"},
    {"mixed sizes", {}, nullptr, "differ in size: 4 x 6 (1 file), 8 x 6 (5 files)"},
    {"damaged slice", {}, nullptr, "IM0004.dcm: its pixel data is cut short"},
    // GDCM would read it as 1 mm.
    {"zero pixel spacing", {.spacingX = 0}, nullptr, "IM0001.dcm has a Pixel Spacing of 0.75\\0 mm"},
};

// Picking any one file of a series opens the whole series; a folder whose series would be
// shown wrongly is refused.
TEST(DicomSeries, ReadsEverySliceInPlaceWithItsValuesOrRefusesAStackItWouldShowWrongly) {
    for (const auto& c : kSeries) {
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
        EXPECT_EQ(orientationCode(volume), c.orientation);

        // Slice k of the volume is the file with the k-th smallest position, or the k-th frame.
        const bool topDown =
            !series.multiFrame && !series.positions.empty() && series.positions[0] > series.positions[1];
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
