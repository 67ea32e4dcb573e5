#include "volume/core/VolumeFile.h"

#include "DicomTestSeries.h"
#include "TestVolumes.h"
#include "VolumeFileWriters.h"
#include "render/scene/VolumeSurvey.h"
#include "volume/dicom/DicomSeriesScanner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nifti1.h>
#include <sys/stat.h>
#include <thread>
#include <tiffio.h>

// NIfTI and TIFF files written by their own libraries, read through the dispatch the
// window, the command line and voxview-inspect share.
namespace {

constexpr int kWidth = 4;
constexpr int kHeight = 3;
constexpr int kSlice = kWidth * kHeight;

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
    std::vector<std::int16_t> slices(2 * kSlice);
    for (std::size_t i = 0; i < slices.size(); ++i)
        slices[i] = static_cast<std::int16_t>(-1000 + 100 * static_cast<int>(i));
    const std::vector<double> asStored(slices.begin(), slices.end());
    std::vector<double> rescaled;
    for (const double value : asStored)
        rescaled.push_back(value * 0.5 - 24.0);
    std::vector<float> series(2 * kSlice * 2);
    for (std::size_t i = 0; i < series.size(); ++i)
        series[i] = i < 2 * kSlice ? 0.25f * static_cast<float>(i) : -7.0f;
    const std::vector<double> firstVolume(series.begin(), series.begin() + 2 * kSlice);

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

TEST_F(VolumeFileTest, ReadsTiffStacksWithTheirSpacing) {
    std::vector<TiffPage> pages;
    std::vector<double> ramp16, floats;
    for (int z = 0; z < 3; ++z) {
        const std::vector<int> page = ramp(kSlice, 1000 * z);
        ramp16.insert(ramp16.end(), page.begin(), page.end());
        pages.push_back({kWidth, kHeight, 16, SAMPLEFORMAT_UINT, 1, sampleBytes(page, 2)});
    }
    // One pixel per unit: ImageJ's micron wins over the tag's centimetre.
    writeTiff(m_files.path("stack.tif"), pages,
              "ImageJ=1.54f\nimages=3\nslices=3\nunit=micron\nspacing=2.5\n", 1.0f);
    writeTiff(m_files.path("channels.tif"), pages, "ImageJ=1.11a\nimages=3\nchannels=3\nhyperstack=true\n");
    for (std::size_t z = 0; z < 2; ++z) {
        std::vector<float> page(kSlice);
        for (std::size_t i = 0; i < kSlice; ++i)
            floats.push_back(page[i] = 0.001f * static_cast<float>(z * kSlice + i));
        writeTiff(m_files.path(QStringLiteral("slice_%1.tif").arg(9 + z)),
                  {{kWidth, kHeight, 32, SAMPLEFORMAT_IEEEFP, 1, bytesOf(page)}}, {}, 20.0f); // 0.5 mm
    }
    writeTiff(m_files.path("single.tiff"), {{.bitsPerSample = 8, .samples = QByteArray(kSlice, 7)}});

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
        {"single.tiff", tiff({4, 3, 1}, {1, 1, 1}, std::vector<double>(kSlice, 7.0), "no pixel size")},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        expectVolume(m_files.path(file), expected);
    }
}

TEST_F(VolumeFileTest, RefusesWhatItCannotShowAndSaysWhy) {
    const TiffPage page{.samples = QByteArray(2 * kSlice, '\1')};
    writeTiff(m_files.path("rgb.tif"),
              {{.bitsPerSample = 8, .samplesPerPixel = 3, .samples = QByteArray(3 * kSlice, 'x')}});
    writeTiff(m_files.path("hyper.tif"), {page}, "ImageJ=1.54f\nimages=4\nchannels=2\nslices=2\n");
    writeTiff(m_files.path("odd_1.tif"), {page});
    writeTiff(m_files.path("odd_2.tif"), {{.bitsPerSample = 8, .samples = QByteArray(kSlice, 'x')}});
    // Noise, which LZW cannot shrink: cutting the file cuts pages off.
    QByteArray noise(64 * 64 * 2, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const TiffPage noisy{.width = 64, .height = 64, .samples = noise};
    writeTiff(m_files.path("cut.tif"), {noisy, noisy, noisy});
    writeNifti(m_files.path("rgb.nii"), {{3, 4, 3, 1, 1}, DT_RGB24, QByteArray(3 * kSlice, 'x')});
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

} // namespace
