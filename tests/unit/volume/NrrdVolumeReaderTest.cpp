#include "volume/nrrd/NrrdVolumeReader.h"

#include "LogCapture.h"
#include "VolumeFileWriters.h"
#include "volume/nrrd/NrrdHeader.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <stop_token>

namespace {

constexpr int kWidth = 4;
constexpr int kHeight = 3;
constexpr int kDepth = 2;
constexpr int kSamples = kWidth * kHeight * kDepth;
// How far a rescaled sample may lie from its value: half a texel step, and the rounding
// of the map's own arithmetic.
constexpr double kHalfStep = 0.5 + 1e-9;

// A header for a 4 x 3 x 2 volume; `extra` lines follow the basic fields.
QByteArray header(const QString& type, const QString& encoding, const QString& extra = {}) {
    return nrrdHeader(type, {kWidth, kHeight, kDepth}, encoding, extra);
}

// A ".nrrd" file: the header, the blank line that ends it, the data.
QByteArray attached(const QByteArray& headerText, const QByteArray& data) {
    return headerText + "\n" + data;
}

class NrrdVolumeReaderTest : public testing::Test {
  protected:
    // The volume of a file that must be read.
    VolumeRecord read(const QByteArray& file) { return volumeOf(readNrrd(m_files.write("case.nrrd", file))); }

    TestFolder m_files;
};

// Every supported sample type, byte order, encoding and data offset, and data spread
// over the files of a "data file:" pattern or list (taken in the order listed), decodes
// to the samples as written (texel + sampleOffset). Samples wider than 16 bits reach the
// texture through the value map: each comes back from its texel within half a step of
// the map, and whole numbers that span at most 65536 values come back exactly.
TEST_F(NrrdVolumeReaderTest, DecodesSamplesAsWritten) {
    const std::vector<int> unsigned16 = ramp(kSamples, 65535 - kSamples); // high bytes 0xff: not UTF-8
    // 10 first: as raw data it starts with a line feed, which must not end a header.
    const std::vector<int> signed16 = {10, -1000, -1, 0,  1, 32767, -32768, -1024, 3071, -2, 2, -3,
                                       3,  -4,    4,  -5, 5, -6,    6,      -7,    7,    -8, 8, -9};
    const std::vector<int> unsigned8 = ramp(kSamples, 255 - kSamples);
    const std::vector<int> signed8 = ramp(kSamples, -128);
    const QByteArray u16 = sampleBytes(unsigned16, 2);
    const QByteArray s16 = sampleBytes(signed16, 2);
    const QByteArray u16Big = sampleBytes(unsigned16, 2, ByteOrder::Big);
    const QByteArray s16Big = sampleBytes(signed16, 2, ByteOrder::Big);
    const QByteArray twoMembers = gzipped(u16.first(10)) + gzipped(u16.sliced(10));
    const QByteArray twoStreams = bzipped("ab" + u16.first(10)) + bzipped(u16.sliced(10)); // byte skip 2
    const qsizetype slice = kWidth * kHeight * 2;
    m_files.write("s01.raw.gz", gzipped(u16.first(slice)));
    m_files.write("s03.raw.gz", gzipped(u16.sliced(slice)));
    m_files.write("late.raw", u16.sliced(slice));
    m_files.write("early.raw", u16.first(slice));
    const QString all = m_files.write("all.raw", u16);
    std::vector<double> reals;
    for (const int i : ramp(kSamples))
        reals.push_back(-2.5 + 0.37 * i);
    std::vector<float> withNan(reals.begin(), reals.end());
    withNan[3] = std::nanf("");
    withNan[5] = std::numeric_limits<float>::infinity();
    std::vector<double> nanRead(withNan.begin(), withNan.end());
    nanRead[3] = reals[0];
    nanRead[5] = *std::max_element(reals.begin(), reals.end());
    const QByteArray nanFloats = attached(header("float", "gzip"), gzipped(bytesOf(withNan)));
    std::vector<std::int32_t> wide = {-2000000000, 2000000000};
    wide.resize(kSamples, 0);
    const std::vector<std::int32_t> narrow = ramp(kSamples, 100000);
    const auto doubles = [](const auto& values) { return std::vector<double>(values.begin(), values.end()); };

    const struct {
        const char* name;
        QByteArray file;
        std::vector<int> samples;
        std::vector<double> values = {}; // where samples are none: the values, within `note`'s rescale
        const char* note = "";           // none: the values come back exactly
    } cases[] = {
        {"unsigned short, raw", attached(header("unsigned short", "raw"), u16), unsigned16},
        {"ushort, big endian", attached(header("ushort", "raw", "endian: big\n"), u16Big), unsigned16},
        {"uint16_t, little endian", attached(header("uint16_t", "raw", "endian: little\n"), u16), unsigned16},
        {"short, raw", attached(header("short", "raw"), s16), signed16},
        {"short int, gz", attached(header("short int", "gz", "endian: big\n"), gzipped(s16Big)), signed16},
        {"uint16, zlib stream", attached(header("uint16", "gzip"), qCompress(u16).sliced(4)), unsigned16},
        {"uint16, two gzip members", attached(header("uint16", "gzip"), twoMembers), unsigned16},
        {"uchar", attached(header("uchar", "raw"), sampleBytes(unsigned8, 1)), unsigned8},
        {"schar, gzip", attached(header("signed char", "gzip"), gzipped(sampleBytes(signed8, 1))), signed8},
        {"Unsigned Short in capitals", attached(header("Unsigned Short", "RAW"), u16), unsigned16},
        {"short, bzip2, big", attached(header("short", "bzip2", "endian: big\n"), bzipped(s16Big)), signed16},
        {"two bzip2 streams", attached(header("uint16", "bz2", "byte skip: 2\n"), twoStreams), unsigned16},
        {"ascii", attached(header("short", "ascii"), asciiText(signed16, ",\n").toLatin1()), signed16},
        {"uchar, text", attached(header("uchar", "text"), asciiText(unsigned8, " ").toLatin1()), unsigned8},
        {"ushort, hex", attached(header("ushort", "hex", "endian: big\n"), u16Big.toHex(' ')), unsigned16},
        {"trailing bytes ignored", attached(header("ushort", "raw"), u16 + "trailing"), unsigned16},
        {"byte skip", attached(header("ushort", "raw", "byte skip: 5\n"), "12345" + u16), unsigned16},
        {"byte skip -1", attached(header("ushort", "raw", "byte skip: -1\n"), "junk" + u16), unsigned16},
        {"line skip", attached(header("ushort", "raw", "line skip: 2\n"), "one\r\ntwo\n" + u16), unsigned16},
        {"line and byte skip",
         attached(header("ushort", "raw", "line skip: 1\nbyte skip: 2\n"), "x\nab" + u16), unsigned16},
        {"gz skip", attached(header("ushort", "gzip", "byte skip: 3\n"), gzipped("abc" + u16)), unsigned16},
        {"UTF-8", attached(header("short", "raw", QStringLiteral("# Schädel – Kopf\n")), s16), signed16},
        {"CR LF header", header("short", "raw").replace("\n", "\r\n") + "\r\n" + s16, signed16},
        {"numbered pattern, gzip", header("ushort", "gzip", "data file: s%02d.raw.gz 1 3 2\n"), unsigned16},
        {"list", header("ushort", "raw", "data file: LIST\nearly.raw\nlate.raw\n"), unsigned16},
        {"list holding all three axes", header("ushort", "raw", "data file: LIST 3\nall.raw\n"), unsigned16},
        {"absolute path", header("ushort", "raw", "data file: " + all + "\n"), unsigned16},
        {"double, raw", attached(header("double", "raw"), bytesOf(reals)), {}, reals, "rescaled to 16 bits"},
        {"float with NaN and infinity, gzip", nanFloats, {}, nanRead, "1 sample is not a number"},
        {"int, wide range", attached(header("int", "raw"), bytesOf(wide)), {}, doubles(wide), "rescaled"},
        {"int32 within 65536 values", attached(header("int32", "raw"), bytesOf(narrow)), {}, doubles(narrow)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const VolumeRecord volume = read(c.file);
        const double tolerance = *c.note ? volume.valueScale * kHalfStep : 0.0;
        if (c.values.empty())
            EXPECT_EQ(samplesOf(volume), c.samples);
        else
            EXPECT_THAT(valuesOf(volume), testing::Pointwise(testing::DoubleNear(tolerance), c.values));
        EXPECT_THAT(volume.notes.join(' ').toStdString(), testing::HasSubstr(c.note));
    }
}

// Directions give the spacing (the vector's length, whichever way it points; a turned
// one is noted), then spacings, then 1 where neither gives a usable one.
TEST_F(NrrdVolumeReaderTest, TakesSpacingFromDirectionsThenSpacingsThenOne) {
    const struct {
        const char* lines;
        std::array<float, 3> spacing;
        int logLines; // one when any axis fell back to 1, one for oblique directions
    } cases[] = {
        {"space directions: (0.5,0,0) (0,0.5,0) (0,0,2.5)\n", {0.5f, 0.5f, 2.5f}, 0},
        {"space directions: (0,0,-2) (0.5,0,0) (0,0.7,0)\n", {2.0f, 0.5f, 0.7f}, 0},
        {"space directions: (0.0174524,0.999848,0) (0.999848,-0.0174524,0) (0,0,2)\n", {1.0f, 1.0f, 2.0f}, 1},
        {"spacings: 0.9 0.8 3\n", {0.9f, 0.8f, 3.0f}, 0},
        {"spacings: 9 9 9\nspace directions: (1,0,0) (0,2,0) (0,0,3)\n", {1.0f, 2.0f, 3.0f}, 0},
        {"space directions: (1,0,0) none (0,0,3)\nspacings: 7 8 9\n", {1.0f, 8.0f, 3.0f}, 0},
        {"", {1.0f, 1.0f, 1.0f}, 1},
        {"spacings: 0 1e400 -2\n", {1.0f, 1.0f, 1.0f}, 1},
        {"spacings: 1e39 1 1\n", {1.0f, 1.0f, 1.0f}, 1}, // too large for a float
    };
    const QByteArray data = sampleBytes(ramp(kSamples), 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        LogCapture log;
        const VolumeRecord volume = read(attached(header("ushort", "raw", c.lines), data));
        EXPECT_THAT((std::array{volume.cellspaceX, volume.cellspaceY, volume.cellspaceZ}),
                    testing::Pointwise(testing::FloatEq(), c.spacing));
        EXPECT_EQ(log.lines().size(), c.logLines) << log.lines().join('\n').toStdString();
    }
}

// Everything the viewer cannot show correctly is refused, with a reason.
TEST_F(NrrdVolumeReaderTest, RefusesWhatItCannotShowAndSaysWhy) {
    const QByteArray u16 = sampleBytes(ramp(kSamples), 2);
    // A file whose header has `line` replaced by `by`.
    const auto replacing = [&](const char* line, const char* by) {
        return attached(header("ushort", "raw").replace(line, by), u16);
    };
    QByteArray damaged = gzipped(u16);
    damaged[20] = static_cast<char>(damaged[20] ^ 0x5a);

    // Each file and a part of the reason the user reads.
    const std::pair<QByteArray, const char*> cases[] = {
        {"", "is empty"},
        {QByteArray("\xff\xfe\x00\x01type: ushort", 15), "not UTF-8 text"},
        {QByteArray(NrrdHeaderFile::kMaxHeaderBytes + 10, 'a'), "no end of header"},
        {replacing("dimension: 3", ""), "no \"dimension:\" line"},
        {replacing("dimension: 3", "dimension: 4"), "4 dimensions"},
        {replacing("dimension: 3", "dimension: 2"), "2 dimensions"},
        {replacing("sizes: 4 3 2\n", ""), "no \"sizes:\" line"},
        {replacing("sizes: 4 3 2", "sizes: 1 4 3 2"), "lists 4 sizes"},
        {replacing("sizes: 4 3 2", "sizes: 0 3 2"), "not positive"},
        {replacing("sizes: 4 3 2", "sizes: 4 -3 2"), "not positive"},
        {replacing("sizes: 4 3 2", "sizes: 2049 1 1"), "it is 4050 bytes short"},
        {replacing("sizes: 4 3 2", "sizes: 2000000000 2000000000 2000000000"), "too large to hold"},
        {replacing("type: ushort\n", ""), "no \"type:\" line"},
        {attached(header("block", "raw"), u16), "type \"block\" cannot be shown"},
        {replacing("encoding: raw\n", ""), "no \"encoding:\" line"},
        {attached(header("ushort", "zrl"), u16), "\"zrl\" cannot be read"},
        {attached(header("ushort", "ascii"), "1 2 3"), "spells 3 samples but the volume needs 24"},
        {attached(header("uchar", "ascii"), "1 2 300 4"), "\"300\", is not a number of type uint8"},
        {attached(header("float", "ascii"), "1 2 three"), "\"three\", is not a number of type float32"},
        {attached(header("ushort", "hex"), "00 0g"), "no hex digit"},
        {attached(header("ushort", "bzip2"), u16), "damaged"},
        {attached(header("ushort", "bzip2"), bzipped(u16.chopped(4))), "4 bytes short"},
        {attached(header("float", "raw"), bytesOf(std::vector<float>(kSamples, std::nanf("")))),
         "no finite sample"},
        {attached(header("ushort", "raw", "endian: middle\n"), u16), "neither little nor big"},
        {attached(header("ushort", "raw", "line skip: -1\n"), u16), "negative"},
        {attached(header("ushort", "raw", "byte skip: -2\n"), u16), "negative"},
        {attached(header("ushort", "gzip", "byte skip: -1\n"), gzipped(u16)), "needs raw"},
        {attached(header("ushort", "raw"), u16.chopped(2)), "it is 2 bytes short"},
        {attached(header("ushort", "raw", "byte skip: 4\n"), u16), "it is 4 bytes short"},
        {attached(header("ushort", "raw", "byte skip: 100\n"), u16), "48 bytes short"},
        {attached(header("ushort", "raw", "byte skip: -1\n"), u16.chopped(1)), "it is 1 byte short."},
        {attached(header("ushort", "raw", "line skip: 3\n"), "a\nb\n"), "line skip"},
        {attached(header("ushort", "gzip"), gzipped(u16.chopped(6))), "it is 6 bytes short"},
        {attached(header("ushort", "gzip"), gzipped(u16).chopped(12)), "bytes short"},
        {attached(header("ushort", "gzip"), damaged), "damaged"},
        {attached(header("ushort", "gzip"), u16), "damaged"},
        {header("ushort", "raw"), "names no data file and has no data attached"},
        {header("ushort", "raw", "data file: nowhere.raw\n"), "nowhere.raw does not exist"},
        {header("ushort", "raw", "data file: .\n"), "not a regular file"},
        {header("ushort", "raw", "data file: /dev/zero\n"), "not a regular file"},
        {header("ushort", "raw", "data file: LIST\na.raw\n"), "names 1 data files but"},
        {header("ushort", "raw", "data file: s%03d.raw 1 3 1\n"), "names 3 data files"},
        {header("ushort", "raw", "data file: s%s.raw 1 2 1\n"), "no file name pattern"},
        {header("ushort", "raw", "data file: s%d.raw 1 2 -1\n"), "name no files"},
        {header("ushort", "raw", "data file: s%d.raw 1 2 1 4\n"), "no usable number of axes"},
        {header("ushort", "raw", "data file: LIST\nnone1.raw\nnone2.raw\n"), "none1.raw does not exist"},
    };
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(reason);
        EXPECT_THAT(reasonOf(readNrrd(m_files.write("refused.nrrd", file))), testing::HasSubstr(reason));
    }
}

// The data file a detached header names beside it (an absolute path is decoded above), or the one
// chosen instead, which replaces attached data too; none chosen, or one that does not
// exist, is refused.
TEST_F(NrrdVolumeReaderTest, FindsTheDataFileBesideTheHeaderOrWhereItIsChosen) {
    const std::vector<int> named = ramp(kSamples, 100);
    const std::vector<int> chosen = ramp(kSamples, 200);
    QDir(m_files.dir().path()).mkdir("sub");
    m_files.write("sub/my head.raw", sampleBytes(named, 2));
    const QString chosenFile = m_files.write("chosen.bin", sampleBytes(chosen, 2));
    // A detached header ending in a blank line with stray bytes after it still takes
    // its samples from the data file it names.
    const QString detached =
        m_files.write("sub/head.nhdr", header("ushort", "raw", "data file: my head.raw\n") + "\nstray bytes");
    const QString withData =
        m_files.write("a.nrrd", attached(header("ushort", "raw"), sampleBytes(named, 2)));
    const struct {
        QString header;
        NrrdDataChoice choice;
        std::vector<int> samples; // none: refused with `reason`
        const char* reason;
    } cases[] = {
        {detached, NrrdDataChoice::fromHeader(), named, ""},
        {detached, NrrdDataChoice::file(chosenFile), chosen, ""},
        {detached, NrrdDataChoice::cancelled(), {}, "No data file was chosen."},
        {detached, NrrdDataChoice::file(m_files.path("other.raw")), {}, "other.raw does not exist"},
        {withData, NrrdDataChoice::file(chosenFile), chosen, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.toStdString() + " " + c.reason);
        const ImportResult<VolumeRecord> result = readNrrd(c.header, c.choice);
        const std::string reason = reasonOf(result);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_EQ(reason.empty() ? samplesOf(std::get<VolumeRecord>(result)) : std::vector<int>(), c.samples);
    }
}

// Raw unsigned samples at an even offset are handed on where they lie; at an odd one they
// are copied to an aligned buffer.
TEST_F(NrrdVolumeReaderTest, HandsOnAlignedRawUnsignedDataWithoutACopy) {
    // "# \n" has an odd length: it moves the data to the other parity.
    QByteArray even = header("ushort", "raw");
    if (even.size() % 2 == 0)
        even += "# \n";
    for (const QByteArray& headerText : {even, even + "# \n"}) {
        const NrrdVolumeReader reader = std::get<NrrdVolumeReader>(NrrdVolumeReader::open(
            m_files.write("aligned.nrrd", attached(headerText, sampleBytes(ramp(kSamples), 2)))));
        const NrrdDataSource source =
            std::get<NrrdDataSource>(reader.resolveData(NrrdDataChoice::fromHeader()));
        const VolumeRecord volume = std::get<VolumeRecord>(reader.readVolume(source));
        EXPECT_EQ(volume.data.data() == source.files.front().data(), headerText == even);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(volume.data.data()) % 2, 0u);
    }
}

// Progress rises to one; a stop requested from the first report ends the read there.
TEST_F(NrrdVolumeReaderTest, ReportsRisingProgressAndStopsWhenCancelled) {
    const QByteArray data = sampleBytes(std::vector<int>(256 * 256 * 80, -3), 2, ByteOrder::Big);
    for (const char* encoding : {"raw", "gzip"}) {
        SCOPED_TRACE(encoding);
        const QByteArray payload = QByteArray(encoding) == "gzip" ? gzipped(data) : data;
        // 256 x 256 x 80 samples: several chunks, so progress has steps to report.
        const QString path = m_files.write(
            "large.nrrd", attached(nrrdHeader("short", {256, 256, 80}, encoding, "endian: big\n"), payload));
        std::stop_source stop;
        std::vector<double> reports;
        bool stopAtFirstReport = false;
        const ImportProgress progress(
            [&](double f) {
                reports.push_back(f);
                if (stopAtFirstReport)
                    stop.request_stop();
            },
            stop.get_token());
        ASSERT_EQ(reasonOf(readNrrd(path, NrrdDataChoice::fromHeader(), {}, progress)), "");
        ASSERT_GE(reports.size(), 3u);
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
        EXPECT_GT(reports.front(), 0.0);
        EXPECT_DOUBLE_EQ(reports.back(), 1.0);

        reports.clear();
        stopAtFirstReport = true;
        EXPECT_THAT(reasonOf(readNrrd(path, NrrdDataChoice::fromHeader(), {}, progress)),
                    testing::HasSubstr("cancelled"));
        EXPECT_EQ(reports.size(), 1u);
    }
}

// Another program truncating the data file while the import reads it: a refusal that
// says so, never a fault on a vanished page.
TEST_F(NrrdVolumeReaderTest, RefusesADataFileThatShrinksWhileItIsRead) {
    constexpr int kSide = 1024;
    const QString data = m_files.write("big.raw", QByteArray(kSide * kSide * 3 * 2, '\1'));
    const QString path =
        m_files.write("big.nhdr", nrrdHeader("ushort", {kSide, kSide, 3}, "raw", "data file: big.raw\n"));
    bool truncated = false;
    const ImportProgress truncate([&](double) {
        if (!truncated)
            truncated = QFile::resize(data, kSide);
    });
    EXPECT_THAT(reasonOf(readNrrd(path, NrrdDataChoice::fromHeader(), {}, truncate)),
                testing::HasSubstr("shrank"));
    EXPECT_TRUE(truncated);
}

// The fields a header set, in a fixed order; unset fields are left out, so a line
// that is ignored gives an empty summary.
QString summary(const NrrdHeader& h) {
    // The three values of an axis field that is set.
    const auto axes = [](const auto& v) {
        return v ? QStringLiteral("%1,%2,%3").arg((*v)[0]).arg((*v)[1]).arg((*v)[2]) : QString();
    };
    const std::pair<bool, QString> fields[] = {
        {!h.type.isNull(), QStringLiteral("type=%1/%2").arg(h.type, h.typeText)},
        {h.dimension.has_value(), QStringLiteral("dimension=%1").arg(h.dimension.value_or(0))},
        {h.sizes.has_value(), "sizes=" + axes(h.sizes) + QStringLiteral("(%1)").arg(h.sizeCount)},
        {!h.encoding.isNull(), "encoding=" + h.encoding},
        {!h.endian.isNull(), "endian=" + h.endian},
        {!h.dataFile.isNull(), QStringLiteral("dataFile=%1/%2").arg(h.dataFile, h.dataFileText)},
        {h.directionSpacing.has_value(), "directions=" + axes(h.directionSpacing)},
        {h.directionTilt > 0.0, QStringLiteral("tilt=%1").arg(h.directionTilt, 0, 'f', 1)},
        {h.spacings.has_value(), "spacings=" + axes(h.spacings)},
        {h.lineSkip.has_value(), QStringLiteral("lineSkip=%1").arg(h.lineSkip.value_or(0))},
        {h.byteSkip.has_value(), QStringLiteral("byteSkip=%1").arg(h.byteSkip.value_or(0))},
    };
    QStringList set;
    for (const auto& [isSet, field] : fields)
        if (isSet)
            set << field;
    return set.join(QStringLiteral("; "));
}

// Single lines as real writers produce them and malformed ones (a line of a known key
// that cannot be read is skipped whole, never read past its end), tokens split at every
// space; then whole headers: line endings, repeated keys and the order of lines. Lines
// every import reads (type, sizes, encoding, endian, spacings, skips, data file) are
// checked through the reader's decoding tables.
TEST(NrrdHeaderLine, SetsTheFieldsOfItsKey) {
    const std::pair<const char*, const char*> cases[] = {
        {"type: unsigned short", "type=unsigned/unsigned short"},
        {"sizes:  256 256 113", "sizes=0,256,256(4)"},
        {"space directions: (0.3,0.4,0) (0,0.5,0) (0,0,2.5)", "directions=0.5,0.5,2.5; tilt=36.9"},
        {"space directions: (0.0174524,0.999848,0) (1,0,0) (0,0,1)", "directions=1,1,1; tilt=1.0"},
        {"space directions: (0.5, 0, 0) (0, 0.5, 0) (0, 0, 2.5)", "directions=0.5,0.5,2.5"},
        {"space directions: (0.5,0,0)  (0,0.5,0) (0,0,2.5)", "directions=0.5,0.5,2.5"},
        {"space directions: (0,3,4) (0.5,0,0) (0,0,2)", "directions=5,0.5,2; tilt=36.9"},
        {"space directions: none (1,0,0) (0,1,0)", "directions=0,1,1"},
        {"space directions: (1e-3,0,0) (0,1E-3,0) (0,0,.5)", "directions=0.001,0.001,0.5"},
        {"spacings: nan 1 1", "spacings=0,1,1"},
        {"sizes: 256 256 113 ", "sizes=256,256,113(3)"},
        {"sizes: 99999999999 -99999999999 1", "sizes=2147483647,-2147483648,1(3)"},
        {"dimension: -3", "dimension=-3"},
        {"dimension: 3x", "dimension=3"},
        {"datafile: head.raw", "dataFile=head.raw/head.raw"},
        {"data file: my head.raw", "dataFile=my/my head.raw"},
        {"byteskip: 16", "byteSkip=16"},
        {"lineskip: 3", "lineSkip=3"},
        {"NRRD0004\rtype: short\rdimension: 3\r", "type=short/short; dimension=3"},
        {"NRRD0004\ntype: short\r\ndimension: 3", "type=short/short; dimension=3"},
        {"dimension: 2\ndimension: 3", "dimension=3"},
        {"type: short\ntype:", "type=short/short"},
        {"sizes: 1 2 3\nsizes: 4 5", "sizes=1,2,3(3)"},
        {"space directions: (1,0,0) (0,1,0) (0,0,1)\nspace directions: (2,0,0) (0,2,0)", "directions=1,1,1"}};
    for (const auto& [text, fields] : cases)
        EXPECT_EQ(summary(NrrdHeader::parse(QString::fromUtf8(text))).toStdString(), fields) << text;
    // Lines of keys not read (or misspelt) and lines of a known key that cannot be read set nothing.
    for (const char* text :
         {"# any comment text", "Sizes: 256 256 113", " sizes: 256 256 113", "space: left-posterior-superior",
          "space dimension: 3", "space origin: (0,0,0)", "kinds: domain domain domain"})
        EXPECT_EQ(summary(NrrdHeader::parse(QString::fromUtf8(text))), QString()) << text;
    for (const char* text : {"space directions: (1,0,0) (0,1,0)", "space directions: (1,0,0) (0,1,0) (0,0",
                             "space directions: (1,0,0) (1) (0,0,1)", "space directions: (1,0,0) x (0,0,1)",
                             "space directions: () () ()", "space directions:", "spacings: 1 1", "type:",
                             "dimension:", "encoding:", "sizes: 256 256", "data file:", "byte skip:"})
        EXPECT_EQ(summary(NrrdHeader::parse(QString::fromUtf8(text))), QString()) << text;
    // Lines split at LF, CR and CR LF, without a trailing empty line.
    EXPECT_EQ(NrrdHeader::parse(u"a\r\n\r\nb\rc\n").lines, (QStringList{"a", "", "b", "c"}));
    EXPECT_EQ(NrrdHeader::parse(u"").lines, QStringList());
    EXPECT_EQ(NrrdHeader::parse(u"only").lines, QStringList{"only"});
}

// Integers saturate at the 32-bit limits; numbers past a double's range become infinite.
TEST(NrrdNumberValues, ReadTheLeadingNumber) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    const std::pair<const char*, std::int32_t> ints[] = {{"42", 42}, {"  42", 42},  {"\t7", 7}, {"-5", -5},
                                                         {"+5", 5},  {"12abc", 12}, {"3.9", 3}, {"abc", 0},
                                                         {"", 0},    {"- 5", 0}};
    for (const auto& [text, value] : ints)
        EXPECT_EQ(nrrdIntValue(QString::fromUtf8(text)), value) << text;
    for (const char* text : {"2147483647", "2147483648", "99999999999999999999999999"})
        EXPECT_EQ(nrrdIntValue(QString::fromUtf8(text)), kMax) << text;
    for (const char* text : {"-2147483648", "-2147483649"})
        EXPECT_EQ(nrrdIntValue(QString::fromUtf8(text)), kMin) << text;

    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, double> floats[] = {
        {"0.5", 0.5},  {" 2.5", 2.5}, {"-1.25", -1.25}, {".5", 0.5},      {"5.", 5.0},
        {"1e3", 1e3},  {"2e", 2.0},   {"2e+", 2.0},     {"1E-3", 1e-3},   {"+.5e1", 5.0},
        {"0.5)", 0.5}, {"abc", 0.0},  {"", 0.0},        {".", 0.0},       {"-", 0.0},
        {"0x10", 0.0}, {"nan", 0.0},  {"1e400", inf},   {"-1e400", -inf}, {"1e-400", 0.0}};
    for (const auto& [text, value] : floats)
        EXPECT_EQ(nrrdFloatValue(QString::fromUtf8(text)), value) << text;
}

} // namespace
