#include "volume/samples/TexelConverter.h"

#include "volume/samples/LinearRescale.h"

#include <QByteArray>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr double kTexelMax = 65535.0;
constexpr std::int32_t kSignedShift = 32768;
constexpr double kInt16Min = -32768.0;
constexpr double kInt16Max = 32767.0;
// Progress and stop requests are looked at after each chunk of this many samples.
constexpr std::size_t kChunkSamples = std::size_t{1} << 21;
// The range scan and the conversion each take about half of the time.
constexpr double kScanShare = 0.5;
constexpr int kNoteDigits = 6;

template <typename T> T load(const std::byte* sample) {
    T value;
    std::memcpy(&value, sample, sizeof value);
    return value;
}

template <typename T> constexpr bool kIsInteger = std::numeric_limits<T>::is_integer;

struct Range {
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    bool wholeNumbers = true;
    std::size_t notANumber = 0;
    std::size_t infinite = 0;
};

// value = (texel + sampleOffset) * scale + offset
struct ValueMap {
    std::int32_t sampleOffset = 0;
    double scale = 1.0;
    double offset = 0.0;
};

// Whole numbers spanning at most 65536 values keep them exactly, with the sample offset
// NRRD's 8- and 16-bit types use where it fits so that the usual windows still apply.
ValueMap chooseMap(const Range& range) {
    // Infinite only for ranges wider than the largest double (-1e308 ... 1e308), which no
    // whole-number map could keep anyway; the scale below stays finite for those too.
    const double span = range.max - range.min;
    if (range.wholeNumbers && span <= kTexelMax) {
        if (range.min >= 0.0 && range.max <= kTexelMax)
            return {};
        if (range.min >= kInt16Min && range.max <= kInt16Max)
            return {-kSignedShift, 1.0, 0.0};
        constexpr double kLowestOffset = std::numeric_limits<std::int32_t>::min();
        constexpr double kHighestOffset = std::numeric_limits<std::int32_t>::max() - kTexelMax;
        if (range.min >= kLowestOffset && range.min <= kHighestOffset)
            return {static_cast<std::int32_t>(range.min), 1.0, 0.0};
        return {0, 1.0, range.min};
    }
    if (span == 0.0)
        return {0, 1.0, range.min};
    return {0, LinearRescale::forRange(range.min, range.max).scale, range.min};
}

QString number(double value) {
    return QString::number(value, 'g', kNoteDigits);
}

template <typename T> class Conversion {
  public:
    Conversion(const std::byte* samples, std::size_t count, const ImportProgress& progress)
        : m_samples(samples), m_count(count), m_progress(progress) {}

    // False when stopped.
    bool scan(Range& range) const {
        return chunked(0.0, kScanShare, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const T sample = load<T>(m_samples + i * sizeof(T));
                if constexpr (!kIsInteger<T>) {
                    if (std::isnan(sample)) {
                        ++range.notANumber;
                        continue;
                    }
                    if (std::isinf(sample)) {
                        ++range.infinite;
                        continue;
                    }
                }
                const auto value = static_cast<double>(sample);
                range.min = std::min(range.min, value);
                range.max = std::max(range.max, value);
                if constexpr (!kIsInteger<T>)
                    range.wholeNumbers = range.wholeNumbers && std::trunc(value) == value;
            }
        });
    }

    bool write(const ValueMap& map, std::byte* texels, double progressStart) const {
        return chunked(progressStart, 1.0 - progressStart, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint16_t texel = texelOf(load<T>(m_samples + i * sizeof(T)), map);
                std::memcpy(texels + i * sizeof texel, &texel, sizeof texel);
            }
        });
    }

  private:
    static std::uint16_t texelOf(T sample, const ValueMap& map) {
        if constexpr (!kIsInteger<T>) {
            if (std::isnan(sample))
                return 0;
        }
        const double position =
            LinearRescale::position(static_cast<double>(sample), map.scale, map.offset) - map.sampleOffset;
        // Infinities land here too, on the ends of the range.
        return static_cast<std::uint16_t>(std::clamp(std::round(position), 0.0, kTexelMax));
    }

    template <typename Step> bool chunked(double start, double share, Step step) const {
        for (std::size_t done = 0; done < m_count;) {
            if (m_progress.stopRequested())
                return false;
            const std::size_t end = std::min(m_count, done + kChunkSamples);
            step(done, end);
            done = end;
            m_progress.report(start + share * static_cast<double>(done) / static_cast<double>(m_count));
        }
        return true;
    }

    const std::byte* m_samples;
    std::size_t m_count;
    const ImportProgress& m_progress;
};

template <typename T>
ImportResult<TexelConverter::Texels> convertAs(SampleType type, const std::byte* samples, std::size_t count,
                                               const ImportProgress& progress) {
    const Conversion<T> conversion(samples, count, progress);
    Range range;
    ValueMap map;
    double writeStart = 0.0;
    if constexpr (sizeof(T) <= 2) {
        map.sampleOffset = std::numeric_limits<T>::is_signed ? -kSignedShift : 0;
    } else {
        if (!conversion.scan(range))
            return cancelledImport();
        if (range.min > range.max)
            return ImportRefusal{
                QStringLiteral("The volume holds no finite sample: nothing true can be shown.")};
        map = chooseMap(range);
        writeStart = kScanShare;
    }

    QByteArray texels(static_cast<qsizetype>(count * sizeof(std::uint16_t)), Qt::Uninitialized);
    if (static_cast<std::size_t>(texels.size()) != count * sizeof(std::uint16_t))
        throw std::bad_alloc();
    if (!conversion.write(map, reinterpret_cast<std::byte*>(texels.data()), writeStart))
        return cancelledImport();

    TexelConverter::Texels result{
        ByteBuffer::fromByteArray(std::move(texels)), map.sampleOffset, map.scale, map.offset, {}};
    if (map.scale != 1.0)
        result.notes << QStringLiteral("%1 samples from %2 to %3 are shown rescaled to 16 bits.")
                            .arg(sampleTypeName(type), number(range.min), number(range.max));
    if (range.notANumber == 1)
        result.notes << QStringLiteral("1 sample is not a number (NaN); it shows as the lowest value.");
    else if (range.notANumber > 1)
        result.notes << QStringLiteral("%1 samples are not a number (NaN); they show as the lowest value.")
                            .arg(range.notANumber);
    if (range.infinite == 1)
        result.notes << QStringLiteral("1 sample is infinite; it shows at its end of the range.");
    else if (range.infinite > 1)
        result.notes << QStringLiteral("%1 samples are infinite; they show at the ends of the range.")
                            .arg(range.infinite);
    return result;
}

} // namespace

TexelConverter::TexelConverter(SampleType type, std::size_t sampleCount, ImportProgress progress)
    : m_type(type), m_sampleCount(sampleCount), m_progress(std::move(progress)) {}

ImportResult<TexelConverter::Texels> TexelConverter::convert(std::span<const std::byte> samples) const {
    if (samples.size() / sampleTypeBytes(m_type) < m_sampleCount)
        return ImportRefusal{QStringLiteral("The data holds %1 samples but the volume needs %2.")
                                 .arg(samples.size() / sampleTypeBytes(m_type))
                                 .arg(m_sampleCount)};
    try {
        const std::byte* data = samples.data();
        switch (m_type) {
        case SampleType::UInt8:
            return convertAs<std::uint8_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Int8:
            return convertAs<std::int8_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::UInt16:
            return convertAs<std::uint16_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Int16:
            return convertAs<std::int16_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::UInt32:
            return convertAs<std::uint32_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Int32:
            return convertAs<std::int32_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::UInt64:
            return convertAs<std::uint64_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Int64:
            return convertAs<std::int64_t>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Float32:
            return convertAs<float>(m_type, data, m_sampleCount, m_progress);
        case SampleType::Float64:
            return convertAs<double>(m_type, data, m_sampleCount, m_progress);
        }
    } catch (const std::bad_alloc&) {
        return ImportRefusal{QStringLiteral("There is not enough memory for the volume's %1 bytes.")
                                 .arg(m_sampleCount * sizeof(std::uint16_t))};
    }
    return ImportRefusal{QStringLiteral("Unknown sample type.")};
}
