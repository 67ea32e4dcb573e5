#include "volume/nrrd/NrrdLayout.h"

#include <array>
#include <optional>

namespace {

struct TypeSpelling {
    const char16_t* name;
    SampleType type;
};

// Every way NRRD writers spell the sample types. 8- and 16-bit integers go into the
// texture as written; wider integers and floating-point samples through a rescale.
constexpr std::array kSampleTypes{
    TypeSpelling{u"ushort", SampleType::UInt16},
    TypeSpelling{u"unsigned short", SampleType::UInt16},
    TypeSpelling{u"unsigned short int", SampleType::UInt16},
    TypeSpelling{u"uint16", SampleType::UInt16},
    TypeSpelling{u"uint16_t", SampleType::UInt16},
    TypeSpelling{u"short", SampleType::Int16},
    TypeSpelling{u"short int", SampleType::Int16},
    TypeSpelling{u"signed short", SampleType::Int16},
    TypeSpelling{u"signed short int", SampleType::Int16},
    TypeSpelling{u"int16", SampleType::Int16},
    TypeSpelling{u"int16_t", SampleType::Int16},
    TypeSpelling{u"uchar", SampleType::UInt8},
    TypeSpelling{u"unsigned char", SampleType::UInt8},
    TypeSpelling{u"uint8", SampleType::UInt8},
    TypeSpelling{u"uint8_t", SampleType::UInt8},
    TypeSpelling{u"signed char", SampleType::Int8},
    TypeSpelling{u"char", SampleType::Int8},
    TypeSpelling{u"int8", SampleType::Int8},
    TypeSpelling{u"int8_t", SampleType::Int8},
    TypeSpelling{u"int", SampleType::Int32},
    TypeSpelling{u"signed int", SampleType::Int32},
    TypeSpelling{u"int32", SampleType::Int32},
    TypeSpelling{u"int32_t", SampleType::Int32},
    TypeSpelling{u"uint", SampleType::UInt32},
    TypeSpelling{u"unsigned int", SampleType::UInt32},
    TypeSpelling{u"uint32", SampleType::UInt32},
    TypeSpelling{u"uint32_t", SampleType::UInt32},
    TypeSpelling{u"longlong", SampleType::Int64},
    TypeSpelling{u"long long", SampleType::Int64},
    TypeSpelling{u"long long int", SampleType::Int64},
    TypeSpelling{u"signed long long", SampleType::Int64},
    TypeSpelling{u"signed long long int", SampleType::Int64},
    TypeSpelling{u"int64", SampleType::Int64},
    TypeSpelling{u"int64_t", SampleType::Int64},
    TypeSpelling{u"ulonglong", SampleType::UInt64},
    TypeSpelling{u"unsigned long long", SampleType::UInt64},
    TypeSpelling{u"unsigned long long int", SampleType::UInt64},
    TypeSpelling{u"uint64", SampleType::UInt64},
    TypeSpelling{u"uint64_t", SampleType::UInt64},
    TypeSpelling{u"float", SampleType::Float32},
    TypeSpelling{u"double", SampleType::Float64},
};

std::optional<SampleType> sampleTypeOf(const QString& typeText) {
    const QString spelled = typeText.simplified().toLower();
    for (const TypeSpelling& spelling : kSampleTypes) {
        if (spelled == QStringView(spelling.name))
            return spelling.type;
    }
    return std::nullopt;
}

ImportResult<NrrdLayout::Encoding> encodingOf(const QString& written) {
    const QString name = written.toLower();
    if (name == u"raw")
        return NrrdLayout::Encoding::Raw;
    if (name == u"gzip" || name == u"gz")
        return NrrdLayout::Encoding::Gzip;
    if (name == u"bzip2" || name == u"bz2")
        return NrrdLayout::Encoding::Bzip2;
    if (name == u"ascii" || name == u"text" || name == u"txt")
        return NrrdLayout::Encoding::Ascii;
    if (name == u"hex")
        return NrrdLayout::Encoding::Hex;
    if (name.isEmpty())
        return ImportRefusal{QStringLiteral("The header has no \"encoding:\" line.")};
    return ImportRefusal{
        QStringLiteral("Data encoded as \"%1\" cannot be read; raw, gzip, bzip2, ascii and hex data can.")
            .arg(written)};
}

} // namespace

ImportResult<NrrdLayout> NrrdLayout::fromHeader(const NrrdHeader& header) {
    NrrdLayout layout;

    if (header.typeText.trimmed().isEmpty())
        return ImportRefusal{QStringLiteral("The header has no \"type:\" line.")};
    const std::optional<SampleType> type = sampleTypeOf(header.typeText);
    if (!type)
        return ImportRefusal{
            QStringLiteral("Samples of type \"%1\" cannot be shown; integer, float and double "
                           "samples can.")
                .arg(header.typeText.simplified())};
    layout.sampleType = *type;

    const ImportResult<Encoding> encoded = encodingOf(header.encoding);
    if (const auto* refusal = std::get_if<ImportRefusal>(&encoded))
        return *refusal;
    layout.encoding = std::get<Encoding>(encoded);

    // A missing byte order is harmless for single bytes and text and taken as
    // little-endian, the order of every machine the viewer runs on, for wider samples.
    const QString endian = header.endian.toLower();
    if (endian == u"big")
        layout.bigEndian = true;
    else if (!endian.isEmpty() && endian != u"little")
        return ImportRefusal{
            QStringLiteral("The byte order \"%1\" is neither little nor big.").arg(header.endian)};

    layout.lineSkip = header.lineSkip.value_or(0);
    if (layout.lineSkip < 0)
        return ImportRefusal{QStringLiteral("\"line skip: %1\" is negative.").arg(layout.lineSkip)};
    layout.byteSkip = header.byteSkip.value_or(0);
    if (layout.byteSkip < kSamplesAtEnd)
        return ImportRefusal{QStringLiteral("\"byte skip: %1\" is negative.").arg(layout.byteSkip)};
    if (layout.byteSkip == kSamplesAtEnd && layout.encoding != Encoding::Raw)
        return ImportRefusal{
            QStringLiteral("\"byte skip: -1\" needs raw data; compressed data has no known end.")};
    return layout;
}
