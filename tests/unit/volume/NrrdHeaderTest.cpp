#include "volume/nrrd/NrrdHeader.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

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
