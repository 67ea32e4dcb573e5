#include "NrrdLayout.h"

#include <array>
#include <optional>

namespace {

constexpr std::int32_t kSignedShift = 32768;

struct SampleType {
    const char16_t* name;
    int bytes;
    bool isSigned;
};

// Every way NRRD writers spell the 8- and 16-bit integer types. Wider integers and
// floating-point samples have no lossless place in a 16-bit texture and are refused.
constexpr std::array kSampleTypes{
    SampleType{u"ushort", 2, false},
    SampleType{u"unsigned short", 2, false},
    SampleType{u"unsigned short int", 2, false},
    SampleType{u"uint16", 2, false},
    SampleType{u"uint16_t", 2, false},
    SampleType{u"short", 2, true},
    SampleType{u"short int", 2, true},
    SampleType{u"signed short", 2, true},
    SampleType{u"signed short int", 2, true},
    SampleType{u"int16", 2, true},
    SampleType{u"int16_t", 2, true},
    SampleType{u"uchar", 1, false},
    SampleType{u"unsigned char", 1, false},
    SampleType{u"uint8", 1, false},
    SampleType{u"uint8_t", 1, false},
    SampleType{u"signed char", 1, true},
    SampleType{u"char", 1, true},
    SampleType{u"int8", 1, true},
    SampleType{u"int8_t", 1, true},
};

std::optional<SampleType> sampleType(const QString& typeText) {
    const QString spelled = typeText.simplified().toLower();
    for (const SampleType& type : kSampleTypes) {
        if (spelled == QStringView(type.name))
            return type;
    }
    return std::nullopt;
}

NrrdResult<NrrdLayout::Encoding> encodingOf(const QString& written) {
    const QString name = written.toLower();
    if (name == u"raw")
        return NrrdLayout::Encoding::Raw;
    if (name == u"gzip" || name == u"gz")
        return NrrdLayout::Encoding::Gzip;
    if (name.isEmpty())
        return NrrdRefusal{QStringLiteral("The header has no \"encoding:\" line.")};
    return NrrdRefusal{
        QStringLiteral("Data encoded as \"%1\" cannot be read; only raw and gzip data can.").arg(written)};
}

} // namespace

NrrdResult<NrrdLayout> NrrdLayout::fromHeader(const NrrdHeader& header) {
    NrrdLayout layout;

    if (header.typeText.trimmed().isEmpty())
        return NrrdRefusal{QStringLiteral("The header has no \"type:\" line.")};
    const std::optional<SampleType> type = sampleType(header.typeText);
    if (!type)
        return NrrdRefusal{
            QStringLiteral("Samples of type \"%1\" cannot be shown; only 8- and 16-bit integer "
                           "samples can.")
                .arg(header.typeText.simplified())};
    layout.bytesPerSample = type->bytes;
    layout.isSigned = type->isSigned;

    const NrrdResult<Encoding> encoded = encodingOf(header.encoding);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&encoded))
        return *refusal;
    layout.encoding = std::get<Encoding>(encoded);

    // A missing byte order is harmless for single bytes and taken as little-endian,
    // the order of every machine the viewer runs on, for 16-bit samples.
    const QString endian = header.endian.toLower();
    if (endian == u"big")
        layout.bigEndian = true;
    else if (!endian.isEmpty() && endian != u"little")
        return NrrdRefusal{
            QStringLiteral("The byte order \"%1\" is neither little nor big.").arg(header.endian)};

    layout.lineSkip = header.lineSkip.value_or(0);
    if (layout.lineSkip < 0)
        return NrrdRefusal{QStringLiteral("\"line skip: %1\" is negative.").arg(layout.lineSkip)};
    layout.byteSkip = header.byteSkip.value_or(0);
    if (layout.byteSkip < kSamplesAtEnd)
        return NrrdRefusal{QStringLiteral("\"byte skip: %1\" is negative.").arg(layout.byteSkip)};
    if (layout.byteSkip == kSamplesAtEnd && layout.encoding != Encoding::Raw)
        return NrrdRefusal{
            QStringLiteral("\"byte skip: -1\" needs raw data; compressed data has no known end.")};
    return layout;
}

QString NrrdLayout::sampleTypeName() const {
    return QStringLiteral("%1int%2").arg(isSigned ? QString() : QStringLiteral("u")).arg(bytesPerSample * 8);
}

std::int32_t NrrdLayout::sampleOffset() const {
    return isSigned ? -kSignedShift : 0;
}
