#include "volume/core/VolumeData.h"

#include "LogCapture.h"
#include "VolumeFileWriters.h"
#include "ui/window/VolumeStatus.h"
#include "volume/core/ByteBuffer.h"
#include "volume/nrrd/NrrdVolumeReader.h"
#include "volume/samples/Classification.h"
#include "volume/samples/TexelHistogram.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>

namespace {

constexpr qint64 kLargeBytes = 242'745'344;
constexpr std::size_t kSmallVoxels = 64 * 64 * 93;
constexpr std::size_t kHeadVoxels = 256 * 256 * 113;
constexpr qsizetype kHeadSliceBytes = 131'072;

// A sample and the four bytes its table gives: the first sample of every band, and the
// last of the first, so that a band moved by one or a ramp that does not follow the
// sample shows.
struct Row {
    std::uint16_t sample;
    ClassifiedVoxel bytes;
};
const Row kSmallVolumeRows[] = {{0, {0, 0, 0, 50}},     {49, {49, 49, 0, 50}},
                                {50, {0, 50, 50, 100}}, {150, {10, 150, 150, 110}},
                                {200, {10, 0, 0, 140}}, {400, {200, 200, 200, 200}}};
const Row kHeadRows[] = {{0, {0, 0, 0, 50}},   {399, {143, 143, 0, 50}},    {400, {0, 0, 0, 0}},
                         {900, {0, 0, 0, 50}}, {1000, {0, 40, 150, 150}},   {1100, {0, 100, 100, 150}},
                         {1300, {0, 0, 0, 0}}, {1400, {170, 170, 170, 200}}};

ClassifiedVoxel voxelAt(const ByteBuffer& data, std::size_t index) {
    ClassifiedVoxel voxel{};
    std::memcpy(voxel.data(), data.data() + index * voxel.size(), voxel.size());
    return voxel;
}

// A missing or short built-in sample keeps the geometry but no data; a short one says so
// in the log (nothing else is logged), and the status line describes the sample (its
// geometry) or why it is missing.
TEST(VolumeData, BuiltInSampleIsTakenOnlyWhole) {
    const struct {
        const char* name;
        qint64 length; // < 0: no file
        const char* logged;
        const char* described; // %1: the sample's path
    } cases[] = {
        {"exact", kLargeBytes, "", "512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"},
        {"missing", -1, "", "Built-in sample missing: %1 was not found"},
        {"one byte short", kLargeBytes - 1, "(1 missing)",
         "Built-in sample too short: %1 holds 242745343 bytes, 512 × 512 × 463 voxels need 242745344"}};
    for (const auto& c : cases) {
        for (const auto load : {&VolumeData::initWithBundle, &VolumeData::init16U}) {
            SCOPED_TRACE(c.name);
            QTemporaryDir dir;
            if (c.length >= 0) { // a sparse file
                ASSERT_TRUE(QFile::resize(writeFile(dir.filePath("512x512x463-16U.raw"), {}), c.length));
            }
            LogCapture log;
            const auto volume = load(Bundle(dir.path()));
            ASSERT_TRUE(volume);
            EXPECT_EQ(volume->data().size(), c.length == kLargeBytes ? std::size_t{kLargeBytes} : 0u);
            EXPECT_EQ(log.count(QStringLiteral("512x512x463-16U.raw")), *c.logged ? 1 : 0);
            EXPECT_EQ(log.count(QString::fromLatin1(c.logged)), *c.logged ? 1 : 0)
                << log.lines().join('\n').toStdString();
            const QString described = QString::fromUtf8(c.described)
                                          .replace(QStringLiteral("%1"), dir.filePath("512x512x463-16U.raw"));
            EXPECT_EQ(VolumeStatus::describeSample(volume.get(), Bundle(dir.path())), described);
            if (c.length < 0) {
                EXPECT_EQ(VolumeStatus::describeSample(nullptr, Bundle(dir.path())), described);
            }
        }
    }
}

// data2flip keeps the low byte of each sample, big-endian behind a zero, for the whole
// volume even when the file is short; no file, no buffers.
TEST(VolumeData, Init2KeepsTheLowByteOfEachSample) {
    QTemporaryDir dir;
    const auto missing = VolumeData::init2(Bundle(dir.path()));
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->data2().isNull() && missing->data2flip().isNull());

    // One sample and a half: the half counts as missing.
    writeFile(dir.filePath("256x256x113-16.raw"), QByteArray("\x34\x12\xff", 3));
    const auto volume = VolumeData::init2(Bundle(dir.path()));
    ASSERT_TRUE(volume);
    EXPECT_EQ(std::tuple(volume->width(), volume->height(), volume->depth()), std::tuple(256u, 256u, 113u));
    EXPECT_EQ(bytesOf(volume->data2()), QByteArray("\x34\x12\xff", 3));
    QByteArray expected(2 * kHeadVoxels, '\0');
    expected[1] = '\x34';
    EXPECT_EQ(bytesOf(volume->data2flip()), expected);
}

// Every voxel of the small volume in order, little-endian: a short file's tail and a half
// sample read as 0, bytes beyond the volume are ignored.
TEST(VolumeData, FileAtLocationClassifiesTheSamplesInVoxelOrder) {
    QTemporaryDir dir;
    std::vector<int> samples;
    for (const Row& row : kSmallVolumeRows)
        samples.push_back(row.sample);
    const QByteArray table = sampleBytes(samples, 2);
    const struct {
        const char* name;
        QByteArray contents;
        ClassifiedVoxel tail; // the voxel after the table and the last
    } cases[] = {
        {"short, ending in half a sample", table + '\x90', {0, 0, 0, 50}},
        {"too long", table + QByteArray(2 * kSmallVoxels, '\x01'), {10, 57, 57, 140}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.filePath("small.raw"), c.contents);
        const auto volume = VolumeData::initWithFileAtLocation(dir.filePath("small.raw"));
        ASSERT_TRUE(volume);
        EXPECT_EQ(std::tuple(volume->width(), volume->height(), volume->depth()), std::tuple(64u, 64u, 93u));
        ASSERT_EQ(volume->data().size(), kSmallVoxels * 4);
        for (std::size_t i = 0; i < samples.size(); ++i)
            EXPECT_EQ(voxelAt(volume->data(), i), kSmallVolumeRows[i].bytes) << samples[i];
        EXPECT_EQ(voxelAt(volume->data(), samples.size()), c.tail);
        EXPECT_EQ(voxelAt(volume->data(), kSmallVoxels - 1), c.tail);
    }
    LogCapture log;
    EXPECT_EQ(VolumeData::initWithFileAtLocation(dir.filePath("absent.raw")), nullptr);
    EXPECT_EQ(VolumeData::initWithFileAtLocation(dir.path()), nullptr); // a folder
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_TRUE(log.lines()[0].startsWith("Could not open File:") && log.lines()[0].contains("absent.raw"));
}

// The head's rows sit at the first voxels of the first slice, of the second and of the
// last; the raw slices go to test16.raw in the home folder. The argument is not used. The
// last slice is short: it reads as 0 past its end. A missing slice refuses the volume and
// writes no copy.
TEST(VolumeData, FileAtLocation2ClassifiesTheBigEndianSlicesSavesThemAndRefusesAMissingOne) {
    const QTemporaryDir home, dir;
    const auto restoreHome = qScopeGuard([usual = qgetenv("HOME")] { qputenv("HOME", usual); });
    qputenv("HOME", home.path().toLocal8Bit());
    std::vector<int> samples(kHeadVoxels, 1400);
    const std::size_t starts[] = {0, 65536, 112 * 65536};
    for (const std::size_t start : starts)
        for (std::size_t i = 0; i < std::size(kHeadRows); ++i)
            samples[start + i] = kHeadRows[i].sample;
    // The 113 slices, each its share of the samples as big-endian pairs, the last 3 bytes short.
    const QByteArray raw = sampleBytes(samples, 2, ByteOrder::Big).chopped(3);
    ASSERT_TRUE(QDir(dir.path()).mkpath("CThead"));
    for (int i = 0; i < 113; ++i)
        writeFile(dir.filePath("CThead/CThead." + QString::number(i + 1)),
                  raw.mid(i * kHeadSliceBytes, kHeadSliceBytes));

    const auto volume = VolumeData::initWithFileAtLocation2("/nonexistent/anything", Bundle(dir.path()));
    ASSERT_TRUE(volume);
    EXPECT_EQ(std::tuple(volume->width(), volume->height(), volume->depth()), std::tuple(256u, 256u, 113u));
    ASSERT_EQ(volume->data().size(), kHeadVoxels * 4);
    for (const std::size_t start : starts)
        for (std::size_t i = 0; i < std::size(kHeadRows); ++i)
            EXPECT_EQ(voxelAt(volume->data(), start + i), kHeadRows[i].bytes)
                << start << " " << kHeadRows[i].sample;
    EXPECT_EQ(voxelAt(volume->data(), kHeadVoxels - 3), classifyHeadSample(1400));
    EXPECT_EQ(voxelAt(volume->data(), kHeadVoxels - 2), (ClassifiedVoxel{0, 0, 0, 50}));
    EXPECT_EQ(readFile(home.filePath("test16.raw")), raw);

    ASSERT_TRUE(QFile::remove(home.filePath("test16.raw")));
    ASSERT_TRUE(QFile::remove(dir.filePath("CThead/CThead.57")));
    LogCapture log;
    EXPECT_EQ(VolumeData::initWithFileAtLocation2(QString(), Bundle(dir.path())), nullptr);
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines()[0].startsWith("Could not open File:") && log.lines()[0].contains("CThead.57"));
    EXPECT_FALSE(QFile::exists(home.filePath("test16.raw")));
    // The bundle that found the slices in their folder finds files only, by their exact names
    // (the built-in sample's tests find it at the top and name its path).
    const Bundle bundle(dir.path());
    EXPECT_EQ(bundle.URLForResource("CThead/CThead", "57"), std::nullopt);
    EXPECT_EQ(bundle.URLForResource("CThead/cthead", "56"), std::nullopt);
    EXPECT_EQ(bundle.URLForResource("CThead", ""), std::nullopt);
}

// Resident pages of mapped files, in KiB, as the kernel counts them for this process.
long residentFileKib() {
    for (const QByteArray& line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("RssFile:"))
            return line.mid(8).trimmed().split(' ').value(0).toLong();
    return -1;
}

std::uint64_t touchEveryPage(const ByteBuffer& buffer) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < buffer.size(); i += 512)
        sum += static_cast<unsigned char>(buffer.data()[i]);
    return sum;
}

// A default buffer is null, an empty array is not; slices are clamped to the buffer and
// keep its storage alive; releasing the pages of bytes in memory keeps them.
TEST(ByteBuffer, SlicesAreClampedAndKeepTheStorage) {
    EXPECT_TRUE(ByteBuffer().isNull());
    EXPECT_TRUE(ByteBuffer().slice(0, 10).isNull());
    EXPECT_FALSE(ByteBuffer::fromByteArray(QByteArray()).isNull());
    ByteBuffer buffer = ByteBuffer::fromByteArray("0123456789");
    const struct {
        std::size_t offset, length;
        const char* expected;
    } cases[] = {{0, 10, "0123456789"}, {2, 3, "234"}, {8, 100, "89"}, {10, 1, ""}, {50, 5, ""}, {0, 0, ""}};
    for (const auto& c : cases) {
        const ByteBuffer part = buffer.slice(c.offset, c.length);
        EXPECT_FALSE(part.isNull());
        EXPECT_EQ(bytesOf(part), QByteArray(c.expected)) << c.offset << "+" << c.length;
    }
    const ByteBuffer tail = buffer.slice(8, 2);
    buffer.releasePages(0, buffer.size());
    buffer = ByteBuffer();
    EXPECT_EQ(bytesOf(tail), QByteArray("89"));
}

// Mapped or read, a file gives its bytes; a missing one gives null and a reason. A map
// stays valid while any slice holds it, even after the file's name is gone. The upload
// hands the pages of the mapped sample back once the texture holds them: they leave the
// process's resident set and read the same when touched again.
TEST(ByteBuffer, MappedAndReadFilesGiveTheirBytesAndReleasedPagesLeaveTheResidentSet) {
    constexpr qsizetype kFileBytes = 32 << 20;
    constexpr long kMostlyReleasedKib = 24 << 10;
    TestFolder dir;
    QByteArray contents(kFileBytes, '\0');
    for (qsizetype i = 0; i < kFileBytes; ++i)
        contents[i] = static_cast<char>((i * 31) >> 9);
    const QString path = dir.write("volume.raw", contents);
    EXPECT_EQ(bytesOf(ByteBuffer::readFile(path)), contents);
    const ByteBuffer mapped = ByteBuffer::mapFile(path);
    const ByteBuffer part = ByteBuffer::mapFile(path).slice(10, 6);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(bytesOf(part), contents.mid(10, 6));
    const ByteBuffer emptyMap = ByteBuffer::mapFile(dir.write("empty.raw", {}));
    EXPECT_EQ(std::pair(emptyMap.isNull(), emptyMap.size()), std::pair(false, std::size_t{0}));
    for (const bool map : {true, false}) {
        QString reason;
        const ByteBuffer missing =
            map ? ByteBuffer::mapFile(path, &reason) : ByteBuffer::readFile(path, &reason);
        EXPECT_TRUE(missing.isNull() && !reason.isEmpty()) << qPrintable(reason);
    }

    ASSERT_EQ(mapped.size(), static_cast<std::size_t>(kFileBytes));
    const std::uint64_t sum = touchEveryPage(mapped);
    const long touched = residentFileKib();
    ASSERT_GE(touched, kMostlyReleasedKib) << "no RssFile line in /proc/self/status";
    // From an odd offset on: the page it falls in stays, every whole page after it goes.
    mapped.releasePages(1, mapped.size());
    EXPECT_LE(residentFileKib(), touched - kMostlyReleasedKib);
    EXPECT_EQ(touchEveryPage(mapped), sum);
    EXPECT_EQ(bytesOf(mapped), contents);
}

// Volumes too large for the RAM budget (or a texture), read in place: every row a brick loader asks
// for holds the texels the in-memory decoder makes of the same file.

constexpr int kWidth = 20;
constexpr int kHeight = 12;
constexpr int kDepth = 9;
constexpr int kSamples = kWidth * kHeight * kDepth;
constexpr int kSlice = kWidth * kHeight;

// A header of a 20 x 12 x 9 volume, `extra` lines after the basic fields.
QByteArray header(const QString& type, const QString& extra, const QString& encoding = "raw") {
    return nrrdHeader(type, {kWidth, kHeight, kDepth}, encoding, extra);
}

// Any bytes are samples of any 8- or 16-bit type, in either byte order. `count` is a
// multiple of 4.
QByteArray randomBytes(int count) {
    QByteArray bytes(count, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), count / 4);
    return bytes;
}

TEST(InPlaceVolumeSource, RowsEqualTheInMemoryDecodeForEveryLayout) {
    const struct {
        const char* name;
        QByteArray type;
        int bytes;
        QByteArray extra;  // header lines after the basic fields: without a data file, the data is attached
        QByteArray before; // bytes ahead of the samples in their file
    } cases[] = {
        {"detached", "ushort", 2, "data file: v.raw\n", ""},
        {"attached", "ushort", 2, "", ""},
        {"several files, one slice each", "int16", 2, "data file: s%02d.raw 1 9 1\n", ""},
        {"byte skip", "ushort", 2, "byte skip: 7\ndata file: v.raw\n", "1234567"},
        {"byte skip -1", "short", 2, "endian: big\nbyte skip: -1\ndata file: v.raw\n", "leading bytes"},
        {"line skip", "int8", 1, "line skip: 2\n", "one\r\ntwo\n"},
        {"big endian", "uint16", 2, "endian: big\ndata file: v.raw\n", ""},
        {"uint8", "uchar", 1, "data file: v.raw\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TestFolder files;
        const QByteArray samples = c.before + randomBytes(kSamples * c.bytes);
        const bool attached = !c.extra.contains("data file"), several = c.extra.contains('%');
        QString path = files.write("v.nhdr", header(c.type, c.extra));
        if (attached)
            path = files.write("v.nrrd", header(c.type, c.extra) + "\n" + samples);
        else if (!several)
            files.write("v.raw", samples);
        for (int z = 0; several && z < kDepth; ++z)
            files.write(QStringLiteral("s%1.raw").arg(z + 1, 2, 10, QChar('0')),
                        samples.sliced(z * kSlice * c.bytes, kSlice * c.bytes));
        const auto read = [&](const ImportOptions& options) {
            return volumeOf(readNrrd(path, NrrdDataChoice::fromHeader(), options));
        };
        const VolumeRecord inPlace = read({.ramBudgetBytes = 1});
        // A side beyond the largest texture is read in place too; one as long as it is not.
        const VolumeRecord inMemory = read({.maxTextureSize = kWidth});
        ASSERT_TRUE(inPlace.source && inPlace.data.isNull());
        ASSERT_FALSE(inMemory.source);
        EXPECT_TRUE(read({.maxTextureSize = kWidth - 1}).source);
        EXPECT_EQ(inPlace.sampleOffset, inMemory.sampleOffset);
        std::mt19937 generator(11);
        const auto below = [&](int end) { return std::uniform_int_distribution<int>(0, end - 1)(generator); };
        for (int i = 0; i < 40; ++i) {
            const int x = below(kWidth), count = below(kWidth - x) + 1, y = below(kHeight), z = below(kDepth);
            const int rows = below(kHeight - y) + 1;
            std::vector<std::uint16_t> block(static_cast<std::size_t>(count * rows));
            ASSERT_TRUE(inPlace.source->readRows(x, y, z, count, rows, block.data()));
            for (int r = 0; r < rows; ++r)
                EXPECT_EQ(bytesOf(block).sliced(2 * r * count, 2 * count),
                          bytesOf(inMemory.data).sliced(2 * ((z * kHeight + y + r) * kWidth + x), 2 * count))
                    << "row " << x << "+" << count << ", " << y + r << ", " << z;
        }
    }
}

// A volume spread over more data files than the process may open at once reads in place
// and into memory: each file is opened as it is read, and few are held open. A file put
// in the place of one closed since is not read as if it were the one checked at import.
TEST(InPlaceVolumeSource, VolumesOfMoreFilesThanTheDescriptorLimitAreRead) {
    constexpr int kFiles = 1100;
    const TestFolder files;
    const QByteArray samples = randomBytes(kFiles * kSlice * 2);
    for (int z = 0; z < kFiles; ++z)
        files.write(QStringLiteral("s%1.raw").arg(z, 4, 10, QChar('0')),
                    samples.sliced(z * kSlice * 2, kSlice * 2));
    const QString path = files.write(
        "v.nhdr", nrrdHeader("ushort", {kWidth, kHeight, kFiles}, "raw", "data file: s%04d.raw 0 1099 1\n"));
    rlimit usual{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &usual), 0);
    const rlimit lowered{256, usual.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (const std::uint64_t ramBudget : {std::uint64_t{1}, ImportOptions::kDefaultRamBudgetBytes}) {
        const VolumeRecord volume =
            volumeOf(readNrrd(path, NrrdDataChoice::fromHeader(), {.ramBudgetBytes = ramBudget}));
        std::vector<std::uint16_t> texels(std::size_t{kFiles} * kSlice);
        for (int z = 0; volume.source && z < kFiles; ++z)
            ASSERT_TRUE(volume.source->readRows(0, 0, z, kWidth, kHeight, texels.data() + z * kSlice));
        EXPECT_EQ(volume.source ? bytesOf(texels) : bytesOf(volume.data), samples) << ramBudget;
        if (volume.source) {
            files.write("new.raw", samples.first(kSlice * 2));
            ASSERT_EQ(std::rename(qPrintable(files.path("new.raw")), qPrintable(files.path("s0000.raw"))), 0);
            EXPECT_FALSE(volume.source->readRows(0, 0, 0, kWidth, kHeight, texels.data()));
            EXPECT_EQ(volume.source->unreadableFile(), "s0000.raw");
        }
    }
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &usual), 0);
}

// What cannot be read in place is decoded into memory, within the budget or not at all:
// the budget counts the data read to decode the texels too. ASCII text is longer than its
// texels: a budget that holds the texels does not hold it.
TEST(InPlaceVolumeSource, VolumesThatCannotBeReadInPlaceAreRefusedOverTheBudget) {
    const TestFolder files;
    const QString path = files.write("v.nrrd", header("ushort", "\n", "ascii") +
                                                   asciiText(ramp(kSamples, 60000), " ").toUtf8());
    EXPECT_THAT(reasonOf(readNrrd(path, NrrdDataChoice::fromHeader(), {.ramBudgetBytes = kSamples * 2})),
                testing::AllOf(testing::HasSubstr("MB read into memory"),
                               testing::HasSubstr("more than the RAM budget")));
}

} // namespace

// A 4 × 2 × 2 volume whose texel at (x, y, z) is 1024 + 100x + 10y + z, counted whole or on
// the lattice of every second voxel, binned in the file's units; a bin holds its start, the
// last one its end too.
TEST(TexelHistogram, CountsEachVoxelIntoTheBinOfItsValueInTheFilesUnits) {
    constexpr std::uint64_t kWidth = 4, kHeight = 2, kDepth = 2;
    QByteArray bytes(static_cast<qsizetype>(kWidth * kHeight * kDepth * 2), Qt::Uninitialized);
    auto* texels = reinterpret_cast<std::uint16_t*>(bytes.data());
    for (std::uint64_t z = 0; z < kDepth; ++z)
        for (std::uint64_t y = 0; y < kHeight; ++y)
            for (std::uint64_t x = 0; x < kWidth; ++x)
                texels[(z * kHeight + y) * kWidth + x] =
                    static_cast<std::uint16_t>(1024 + 100 * x + 10 * y + z);
    const DecodedVolumeSource source(ByteBuffer::fromByteArray(bytes), kWidth, kHeight);
    const struct {
        std::uint64_t stride;
        TexelHistogram::FileUnits units;
        double low, high;
        int bins;
        std::vector<std::uint64_t> counts;
    } cases[] = {
        {1, {0, 1.0, -1024.0}, 0.0, 400.0, 4, {4, 4, 4, 4}},
        {1, {0, 1.0, -1024.0}, 0.0, 200.0, 2, {4, 5}},
        {1, {-1024, 1.0, 0.0}, 100.0, 300.0, 2, {4, 5}},
        {1, {0, 0.5, -512.0}, 0.0, 100.0, 2, {4, 5}},
        {1, {0, 1.0, -1024.0}, 5.0, 15.0, 1, {2}},
        {2, {0, 1.0, -1024.0}, 0.0, 400.0, 4, {1, 0, 1, 0}},
    };
    for (const auto& c : cases) {
        const std::optional<TexelHistogram> histogram =
            TexelHistogram::count(source, {kWidth, kHeight, kDepth}, c.stride);
        ASSERT_TRUE(histogram);
        EXPECT_EQ(histogram->bins(c.low, c.high, c.bins, c.units), c.counts)
            << "stride " << c.stride << ", " << c.low << " to " << c.high;
    }
    EXPECT_FALSE(TexelHistogram::count(source, {kWidth, kHeight, kDepth}, 1, [] { return true; }));
}

// A volume of 128³ voxels (zeros) holding levels 1 and 2 of its own, each all of one value:
// the histogram drawn at once counts the coarsest level with enough voxels, whole; without
// such levels, a lattice over level 0.
class HeldLevels final : public VolumeSource {
  public:
    explicit HeldLevels(std::uint32_t held) : m_held(held) {}
    bool readRow(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t count,
                 std::uint16_t* out) const override {
        std::fill_n(out, count, 0);
        return true;
    }
    std::uint32_t storedLevels() const override { return m_held; }
    bool readLevelRows(std::uint32_t level, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t count,
                       std::uint64_t rows, std::uint16_t* out) const override {
        std::fill_n(out, count * rows, static_cast<std::uint16_t>(100 * level));
        return level <= m_held;
    }

  private:
    std::uint32_t m_held;
};

TEST(TexelHistogram, ThePreviewCountsTheCoarsestHeldLevelWithEnoughVoxels) {
    const std::array<std::uint64_t, 3> size{128, 128, 128};
    const struct {
        std::uint32_t held;
        std::uint32_t level;
        std::uint64_t stride;
    } cases[] = {{0, 0, 2}, {1, 1, 1}, {2, 1, 1}}; // level 2's 32³ voxels are too few
    for (const auto& c : cases) {
        const HeldLevels source(c.held);
        const TexelHistogram::Lattice preview = TexelHistogram::preview(source, size);
        EXPECT_EQ(preview.level, c.level) << c.held;
        EXPECT_EQ(preview.stride, c.stride) << c.held;
        const std::optional<TexelHistogram> histogram =
            TexelHistogram::count(source, preview.size, preview.stride, {}, preview.level);
        ASSERT_TRUE(histogram);
        EXPECT_EQ(histogram->total(), 64u * 64 * 64) << c.held;
        const double value = 100.0 * c.level;
        EXPECT_EQ(histogram->bins(value - 0.5, value + 0.5, 1, {})[0], histogram->total()) << c.held;
    }
}
