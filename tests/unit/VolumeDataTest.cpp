#include "VolumeData.h"

#include "Classification.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

constexpr std::size_t kLargeBytes = 242'745'344;
constexpr std::size_t kSample2Bytes = 14'811'136;
constexpr std::size_t kHeadSliceBytes = 131'072;
constexpr int kHeadSlices = 113;

// Collects the lines the loaders write to the log while it is alive.
class LogCapture {
  public:
    LogCapture() {
        s_lines = &m_lines;
        m_previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { s_lines->append(text); });
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_lines = nullptr;
    }
    const QStringList& lines() const { return m_lines; }

  private:
    static inline QStringList* s_lines = nullptr;
    QStringList m_lines;
    QtMessageHandler m_previous;
};

// Points $HOME at a temporary folder for the life of the object, so that the
// test16.raw copy lands there.
class TemporaryHome {
  public:
    TemporaryHome() : m_previous(qgetenv("HOME")) { qputenv("HOME", m_dir.path().toLocal8Bit()); }
    ~TemporaryHome() { qputenv("HOME", m_previous); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
};

void writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
    ASSERT_EQ(file.write(contents), contents.size());
}

// A file of the given length whose bytes cost nothing: the rest is a hole.
void writeSparseFile(const QString& path, qint64 size) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(size));
}

QByteArray bytesOf(const ByteBuffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(buffer.size()));
}

ClassifiedVoxel voxelAt(const ByteBuffer& data, std::size_t index) {
    ClassifiedVoxel voxel{};
    std::memcpy(voxel.data(), data.data() + index * voxel.size(), voxel.size());
    return voxel;
}

using BundleLoader = std::function<std::unique_ptr<VolumeData>(const Bundle&)>;
const std::pair<const char*, BundleLoader> kLargeLoaders[] = {
    {"initWithBundle", [](const Bundle& b) { return VolumeData::initWithBundle(b); }},
    {"init16U", [](const Bundle& b) { return VolumeData::init16U(b); }},
};

void expectLargeGeometry(const VolumeData& volume) {
    EXPECT_EQ(volume.width(), 512u);
    EXPECT_EQ(volume.height(), 512u);
    EXPECT_EQ(volume.depth(), 463u);
    EXPECT_FLOAT_EQ(volume.cellspaceX(), 0.625f);
    EXPECT_FLOAT_EQ(volume.cellspaceY(), 0.625f);
    EXPECT_FLOAT_EQ(volume.cellspaceZ(), 1.0f);
    EXPECT_EQ(volume.pix16(), nullptr);
    EXPECT_TRUE(volume.data2().isNull());
    EXPECT_TRUE(volume.data2flip().isNull());
}

TEST(VolumeData, InitWithBundleAndInit16UGiveTheSameBuiltInHead) {
    const Bundle bundle(VOXVIEW_RESOURCES_DIR);
    const auto a = VolumeData::initWithBundle(bundle);
    const auto b = VolumeData::init16U(bundle);
    ASSERT_TRUE(a && b);
    expectLargeGeometry(*a);
    expectLargeGeometry(*b);
    ASSERT_EQ(a->data().size(), kLargeBytes);
    ASSERT_EQ(b->data().size(), kLargeBytes);
    EXPECT_EQ(std::memcmp(a->data().data(), b->data().data(), kLargeBytes), 0);
}

TEST(VolumeData, LargeSampleOfExactSizeIsTakenAsItIs) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeSparseFile(dir.filePath("512x512x463-16U.raw"), kLargeBytes);
    for (const auto& [name, load] : kLargeLoaders) {
        const auto volume = load(Bundle(dir.path()));
        ASSERT_TRUE(volume) << name;
        expectLargeGeometry(*volume);
        EXPECT_EQ(volume->data().size(), kLargeBytes) << name;
    }
}

TEST(VolumeData, MissingLargeSampleKeepsTheGeometryWithoutDataOrMessage) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& [name, load] : kLargeLoaders) {
        LogCapture log;
        const auto volume = load(Bundle(dir.path()));
        ASSERT_TRUE(volume) << name;
        expectLargeGeometry(*volume);
        EXPECT_TRUE(volume->data().isNull()) << name;
        EXPECT_TRUE(log.lines().isEmpty()) << name;
    }
}

TEST(VolumeData, ShortLargeSampleIsRefusedWithOneLineNamingFileAndShortfall) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeSparseFile(dir.filePath("512x512x463-16U.raw"), kLargeBytes - 1);
    for (const auto& [name, load] : kLargeLoaders) {
        LogCapture log;
        const auto volume = load(Bundle(dir.path()));
        ASSERT_TRUE(volume) << name;
        expectLargeGeometry(*volume);
        EXPECT_TRUE(volume->data().isNull()) << name;
        ASSERT_EQ(log.lines().size(), 1) << name;
        EXPECT_TRUE(log.lines()[0].contains("512x512x463-16U.raw")) << qPrintable(log.lines()[0]);
        EXPECT_TRUE(log.lines()[0].contains("1 missing")) << qPrintable(log.lines()[0]);
    }
}

TEST(VolumeData, Init2KeepsOnlyTheLowByteOfEachSampleInData2flip) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Each sample is stored little-endian: low byte l first, then high byte h.
    struct Sample {
        std::size_t voxel;
        std::uint8_t low, high;
    } samples[] = {{0, 0x34, 0x12},
                   {1, 0xFF, 0xFF},
                   {2, 0x00, 0x80},
                   {3, 0x7F, 0x00},
                   {kSample2Bytes / 2 - 1, 0xAB, 0xCD}};
    QByteArray raw(kSample2Bytes, '\0');
    for (const Sample& s : samples) {
        raw[s.voxel * 2] = static_cast<char>(s.low);
        raw[s.voxel * 2 + 1] = static_cast<char>(s.high);
    }
    writeFile(dir.filePath("256x256x113-16.raw"), raw);

    const auto volume = VolumeData::init2(Bundle(dir.path()));
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->width(), 256u);
    EXPECT_EQ(volume->height(), 256u);
    EXPECT_EQ(volume->depth(), 113u);
    EXPECT_EQ(volume->cellspaceX(), 0.0f);
    EXPECT_TRUE(volume->data().isNull());
    EXPECT_EQ(volume->pix16(), nullptr);
    EXPECT_EQ(bytesOf(volume->data2()), raw);
    const QByteArray flip = bytesOf(volume->data2flip());
    ASSERT_EQ(flip.size(), static_cast<qsizetype>(kSample2Bytes));
    for (const Sample& s : samples) {
        EXPECT_EQ(static_cast<std::uint8_t>(flip[s.voxel * 2]), 0) << s.voxel;
        EXPECT_EQ(static_cast<std::uint8_t>(flip[s.voxel * 2 + 1]), s.low) << s.voxel;
        EXPECT_EQ(qFromBigEndian<std::uint16_t>(flip.constData() + s.voxel * 2), s.low) << s.voxel;
    }
}

TEST(VolumeData, Init2DerivesAFullFlipFromAShortSampleAndNoneFromAMissingOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto missing = VolumeData::init2(Bundle(dir.path()));
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->data2().isNull());
    EXPECT_TRUE(missing->data2flip().isNull());

    // Three bytes: one whole sample and half of the next, which counts as missing.
    writeFile(dir.filePath("256x256x113-16.raw"), QByteArray("\x11\x22\x33", 3));
    const auto shortSample = VolumeData::init2(Bundle(dir.path()));
    ASSERT_TRUE(shortSample);
    EXPECT_EQ(shortSample->data2().size(), 3u);
    QByteArray expected(kSample2Bytes, '\0');
    expected[1] = '\x11';
    EXPECT_EQ(bytesOf(shortSample->data2flip()), expected);
}

TEST(VolumeData, FileAtLocationIs64By64By93ForAnyReadableFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Samples beyond the end of a short file (and a trailing half sample) read as 0.
    const ClassifiedVoxel zero = {0, 0, 0, 50};
    struct Case {
        const char* name;
        QByteArray contents;
        ClassifiedVoxel first, second;
    } cases[] = {
        {"empty", QByteArray(), zero, zero},
        {"one and a half samples", QByteArray("\x90\x01\x05", 3), {200, 200, 200, 200}, zero},
        {"too long", QByteArray(64 * 64 * 93 * 2 + 100, '\x01'), {10, 57, 57, 140}, {10, 57, 57, 140}},
    };
    for (const Case& c : cases) {
        const QString path = dir.filePath(c.name);
        writeFile(path, c.contents);
        const auto volume = VolumeData::initWithFileAtLocation(path);
        ASSERT_TRUE(volume) << c.name;
        EXPECT_EQ(volume->width(), 64u);
        EXPECT_EQ(volume->height(), 64u);
        EXPECT_EQ(volume->depth(), 93u);
        EXPECT_EQ(volume->cellspaceZ(), 0.0f);
        EXPECT_EQ(volume->pix16(), nullptr);
        ASSERT_EQ(volume->data().size(), 1'523'712u) << c.name;
        EXPECT_EQ(voxelAt(volume->data(), 0), c.first) << c.name;
        EXPECT_EQ(voxelAt(volume->data(), 1), c.second) << c.name;
        EXPECT_EQ(voxelAt(volume->data(), 64 * 64 * 93 - 1), c.contents.size() > 1000 ? c.first : zero)
            << c.name;
    }
}

TEST(VolumeData, UnreadableFileAtLocationIsNullAndLogged) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    LogCapture log;
    EXPECT_EQ(VolumeData::initWithFileAtLocation(dir.filePath("absent.raw")), nullptr);
    EXPECT_EQ(VolumeData::initWithFileAtLocation(dir.path()), nullptr); // a folder
    ASSERT_EQ(log.lines().size(), 2);
    for (const QString& line : log.lines())
        EXPECT_TRUE(line.startsWith("Could not open File:") && line.size() > 20) << qPrintable(line);
    EXPECT_TRUE(log.lines()[0].contains("absent.raw"));
}

// Writes the 113 CThead slices, each its share of `samples` as big-endian pairs.
void writeHeadSlices(const QString& folder, const std::vector<std::uint16_t>& samples) {
    ASSERT_TRUE(QDir(folder).mkpath("CThead"));
    const std::size_t perSlice = kHeadSliceBytes / 2;
    for (int i = 1; i <= kHeadSlices; ++i) {
        QByteArray slice(kHeadSliceBytes, '\0');
        qToBigEndian<std::uint16_t>(samples.data() + (i - 1) * perSlice, static_cast<qsizetype>(perSlice),
                                    slice.data());
        writeFile(folder + "/CThead/CThead." + QString::number(i), slice);
    }
}

TEST(VolumeData, FileAtLocation2ReadsTheSlicesBigEndianAndIgnoresItsArgument) {
    TemporaryHome home;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::size_t voxels = 256 * 256 * 113;
    std::vector<std::uint16_t> samples(voxels, 900);
    const struct {
        std::size_t voxel;
        std::uint16_t sample;
        ClassifiedVoxel bytes;
    } cases[] = {
        {0, 0x0190, {0, 0, 0, 0}},         // bytes 0x01 0x90: s = 400
        {1, 0x018F, {143, 143, 0, 50}},    // bytes 0x01 0x8F: s = 399
        {65536, 1255, {0, 255, 255, 150}}, // first voxel of slice 2
        {70000, 1256, {0, 0, 0, 150}},
        {voxels - 2, 1300, {0, 0, 0, 0}},
        {voxels - 1, 1400, {170, 170, 170, 200}}, // last voxel of slice 113
    };
    for (const auto& c : cases)
        samples[c.voxel] = c.sample;
    writeHeadSlices(dir.path(), samples);

    const auto first = VolumeData::initWithFileAtLocation2("/nonexistent/anything", Bundle(dir.path()));
    const auto second = VolumeData::initWithFileAtLocation2(QString(), Bundle(dir.path()));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->width(), 256u);
    EXPECT_EQ(first->height(), 256u);
    EXPECT_EQ(first->depth(), 113u);
    EXPECT_EQ(first->cellspaceX(), 0.0f);
    EXPECT_EQ(first->pix16(), nullptr);
    ASSERT_EQ(first->data().size(), 29'622'272u);
    for (const auto& c : cases)
        EXPECT_EQ(voxelAt(first->data(), c.voxel), c.bytes) << "sample " << c.sample;
    EXPECT_EQ(voxelAt(first->data(), 2), (ClassifiedVoxel{0, 0, 0, 50}));
    EXPECT_EQ(bytesOf(first->data()), bytesOf(second->data()));
}

TEST(VolumeData, FileAtLocation2SavesTheRawSlicesAsTest16InTheHomeFolder) {
    TemporaryHome home;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::vector<std::uint16_t> samples(256 * 256 * 113);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>(i * 31);
    writeHeadSlices(dir.path(), samples);
    ASSERT_TRUE(VolumeData::initWithFileAtLocation2(QString(), Bundle(dir.path())));

    QFile copy(home.filePath("test16.raw"));
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    const QByteArray saved = copy.readAll();
    ASSERT_EQ(saved.size(), 113 * static_cast<qsizetype>(kHeadSliceBytes));
    for (const std::size_t i : {std::size_t{0}, std::size_t{12345}, samples.size() - 1})
        EXPECT_EQ(qFromBigEndian<std::uint16_t>(saved.constData() + 2 * i), samples[i]) << i;
}

TEST(VolumeData, FileAtLocation2WithAMissingSliceIsNullLoggedAndWritesNothing) {
    TemporaryHome home;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeHeadSlices(dir.path(), std::vector<std::uint16_t>(256 * 256 * 113, 1000));
    ASSERT_TRUE(QFile::remove(dir.filePath("CThead/CThead.57")));

    LogCapture log;
    EXPECT_EQ(VolumeData::initWithFileAtLocation2(QString(), Bundle(dir.path())), nullptr);
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines()[0].startsWith("Could not open File:")) << qPrintable(log.lines()[0]);
    EXPECT_TRUE(log.lines()[0].contains("CThead.57")) << qPrintable(log.lines()[0]);
    EXPECT_FALSE(QFile::exists(home.filePath("test16.raw")));
}

TEST(VolumeData, FileAtLocation2ReadsMissingSamplesOfShortSlicesAsZero) {
    TemporaryHome home;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeHeadSlices(dir.path(), std::vector<std::uint16_t>(256 * 256 * 113, 1400));
    // The last slice loses its last sample and a half.
    writeFile(dir.filePath("CThead/CThead.113"), QByteArray(kHeadSliceBytes - 3, '\x05'));

    const auto volume = VolumeData::initWithFileAtLocation2(QString(), Bundle(dir.path()));
    ASSERT_TRUE(volume);
    const std::size_t voxels = 256 * 256 * 113;
    ASSERT_EQ(volume->data().size(), voxels * 4);
    EXPECT_EQ(voxelAt(volume->data(), 0), (ClassifiedVoxel{170, 170, 170, 200}));
    EXPECT_EQ(voxelAt(volume->data(), voxels - 3), (ClassifiedVoxel{0, 29, 29, 150})); // 0x0505 = 1285
    EXPECT_EQ(voxelAt(volume->data(), voxels - 2), (ClassifiedVoxel{0, 0, 0, 50}));
    EXPECT_EQ(voxelAt(volume->data(), voxels - 1), (ClassifiedVoxel{0, 0, 0, 50}));
}

} // namespace
