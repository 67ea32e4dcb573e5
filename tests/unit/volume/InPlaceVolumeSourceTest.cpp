#include "VolumeFileWriters.h"
#include "volume/nrrd/NrrdVolumeReader.h"

#include <QRandomGenerator>
#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>

// Volumes too large for the RAM budget (or a texture), read in place: every row a brick loader asks
// for holds the texels the in-memory decoder makes of the same file.
namespace {

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
