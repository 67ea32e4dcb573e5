#include "volume/nrrd/NrrdTextData.h"

#include "volume/core/ByteBuffer.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

namespace {

// Progress is reported, and a stop request honoured, after this many samples.
constexpr std::size_t kChunkSamples = std::size_t{1} << 20;
constexpr int kHexBase = 16;
// A token that is not a number is quoted in the refusal up to this length.
constexpr std::ptrdiff_t kQuotedTokenLength = 20;
constexpr int kDecimalLetterOffset = 10;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::optional<int> hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + kDecimalLetterOffset;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + kDecimalLetterOffset;
    return std::nullopt;
}

ImportRefusal shortText(std::size_t have, std::size_t need) {
    return ImportRefusal{
        QStringLiteral("The text spells %1 samples but the volume needs %2.").arg(have).arg(need)};
}

// Reads one number of type T at `position`, which starts a token; moves past it.
template <typename T> bool parseNumber(const char* end, const char*& position, T& value) {
    const char* first = position;
    if (first < end && *first == '+')
        ++first; // from_chars takes no plus sign
    const auto [next, error] = std::from_chars(first, end, value);
    if (error != std::errc() || (next < end && !isSpace(*next) && *next != ','))
        return false;
    position = next;
    return true;
}

template <typename T>
ImportResult<QByteArray> parseAscii(std::span<const std::byte> bytes, SampleType type, std::size_t count,
                                    const ImportProgress& progress) {
    QByteArray samples = ByteBuffer::allocate(count * sizeof(T));
    const char* position = reinterpret_cast<const char*>(bytes.data());
    const char* const end = position + bytes.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i % kChunkSamples == 0) {
            if (progress.stopRequested())
                return cancelledImport();
            progress.report(static_cast<double>(i) / static_cast<double>(count));
        }
        while (position < end && (isSpace(*position) || *position == ','))
            ++position;
        if (position == end)
            return shortText(i, count);
        T value{};
        if (!parseNumber(end, position, value)) {
            const char* tokenEnd = position;
            while (tokenEnd < end && !isSpace(*tokenEnd) && tokenEnd - position < kQuotedTokenLength)
                ++tokenEnd;
            return ImportRefusal{QStringLiteral("Sample %1 of the text, \"%2\", is not a number of type %3.")
                                     .arg(i)
                                     .arg(QString::fromLatin1(position, tokenEnd - position))
                                     .arg(sampleTypeName(type))};
        }
        std::memcpy(samples.data() + i * sizeof(T), &value, sizeof(T));
    }
    progress.report(1.0);
    return samples;
}

} // namespace

NrrdTextData::NrrdTextData(std::size_t sampleCount, ImportProgress progress)
    : m_sampleCount(sampleCount), m_progress(std::move(progress)) {}

ImportResult<QByteArray> NrrdTextData::hexBytes(std::span<const std::byte> text,
                                                std::size_t bytesPerSample) const {
    const std::size_t need = m_sampleCount * bytesPerSample;
    QByteArray bytes = ByteBuffer::allocate(need);
    std::size_t produced = 0;
    std::optional<int> high;
    for (std::size_t i = 0; i < text.size() && produced < need; ++i) {
        const char c = static_cast<char>(text[i]);
        if (isSpace(c))
            continue;
        const std::optional<int> digit = hexDigit(c);
        if (!digit)
            return ImportRefusal{QStringLiteral("The hex data holds '%1' at byte %2, which is no hex digit.")
                                     .arg(QString::fromLatin1(&c, 1))
                                     .arg(i)};
        if (!high) {
            high = digit;
            continue;
        }
        bytes[static_cast<qsizetype>(produced++)] = static_cast<char>(*high * kHexBase + *digit);
        high.reset();
        if (produced % (kChunkSamples * bytesPerSample) == 0) {
            if (m_progress.stopRequested())
                return cancelledImport();
            m_progress.report(static_cast<double>(produced) / static_cast<double>(need));
        }
    }
    if (produced < need)
        return shortText(produced / bytesPerSample, m_sampleCount);
    m_progress.report(1.0);
    return bytes;
}

ImportResult<QByteArray> NrrdTextData::asciiSamples(std::span<const std::byte> text, SampleType type) const {
    switch (type) {
    case SampleType::UInt8:
        return parseAscii<std::uint8_t>(text, type, m_sampleCount, m_progress);
    case SampleType::Int8:
        return parseAscii<std::int8_t>(text, type, m_sampleCount, m_progress);
    case SampleType::UInt16:
        return parseAscii<std::uint16_t>(text, type, m_sampleCount, m_progress);
    case SampleType::Int16:
        return parseAscii<std::int16_t>(text, type, m_sampleCount, m_progress);
    case SampleType::UInt32:
        return parseAscii<std::uint32_t>(text, type, m_sampleCount, m_progress);
    case SampleType::Int32:
        return parseAscii<std::int32_t>(text, type, m_sampleCount, m_progress);
    case SampleType::UInt64:
        return parseAscii<std::uint64_t>(text, type, m_sampleCount, m_progress);
    case SampleType::Int64:
        return parseAscii<std::int64_t>(text, type, m_sampleCount, m_progress);
    case SampleType::Float32:
        return parseAscii<float>(text, type, m_sampleCount, m_progress);
    case SampleType::Float64:
        return parseAscii<double>(text, type, m_sampleCount, m_progress);
    }
    return ImportRefusal{QStringLiteral("Unknown sample type.")};
}
