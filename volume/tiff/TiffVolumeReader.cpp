// Index of this file: libtiff's messages kept for the refusal (keepError); a page's facts
// (Page, pageOf, sampleType, describe) and the check of its strips against the file
// (checkStrips); pixel spacing from the resolution tags or an ImageJ description
// (Spacing, spacingOf); TiffVolumeReader::read, which stacks the pages of one file or the
// numbered files around it.

#include "volume/tiff/TiffVolumeReader.h"

#include "volume/core/VolumeSize.h"
#include "volume/files/NumberedFiles.h"
#include "volume/files/RegularFile.h"
#include "volume/samples/SampleTexels.h"
#include "volume/samples/TexelConverter.h"
#include "volume/tiff/ImageJDescription.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <tiffio.h>
#include <vector>

namespace {

constexpr double kMillimetresPerInch = 25.4;
constexpr double kMillimetresPerCentimetre = 10.0;
constexpr float kFallbackSpacing = 1.0f;
// Reading the slices takes about as long as converting them.
constexpr double kReadShare = 0.5;
constexpr std::size_t kMessageBytes = 512;

// libtiff reports through global handlers; the last error of this thread becomes part
// of the refusal instead of a line on stderr.
thread_local QString t_lastError;

void keepError(const char* module, const char* format, va_list arguments) {
    char text[kMessageBytes];
    std::vsnprintf(text, sizeof text, format, arguments);
    t_lastError =
        module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module), QString::fromLocal8Bit(text))
               : QString::fromLocal8Bit(text);
}

void ignoreWarning(const char*, const char*, va_list) {}

struct TiffClose {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

// The facts of one page that decide whether and how it can be read.
struct Page {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    SampleType type = SampleType::UInt8;

    bool operator==(const Page&) const = default;
};

QString describe(const Page& page) {
    return QStringLiteral("%1 x %2 %3").arg(page.width).arg(page.height).arg(sampleTypeName(page.type));
}

std::optional<SampleType> sampleType(std::uint16_t format, std::uint16_t bits) {
    if (format == SAMPLEFORMAT_IEEEFP) {
        if (bits == 32)
            return SampleType::Float32;
        if (bits == 64)
            return SampleType::Float64;
        return std::nullopt;
    }
    const bool isSigned = format == SAMPLEFORMAT_INT;
    if (format != SAMPLEFORMAT_UINT && !isSigned)
        return std::nullopt;
    switch (bits) {
    case 8:
        return isSigned ? SampleType::Int8 : SampleType::UInt8;
    case 16:
        return isSigned ? SampleType::Int16 : SampleType::UInt16;
    case 32:
        return isSigned ? SampleType::Int32 : SampleType::UInt32;
    case 64:
        return isSigned ? SampleType::Int64 : SampleType::UInt64;
    default:
        return std::nullopt;
    }
}

// The current page's facts, or why it cannot be shown.
ImportResult<Page> pageOf(TIFF* tiff) {
    Page page;
    std::uint16_t samplesPerPixel = 1, bits = 1, format = SAMPLEFORMAT_UINT,
                  photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    if (samplesPerPixel != 1 || photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_PALETTE)
        return ImportRefusal{QStringLiteral("its pages are colour images (%1 samples per pixel); only grey "
                                            "images can be shown")
                                 .arg(samplesPerPixel)};
    if (photometric == PHOTOMETRIC_MINISWHITE)
        return ImportRefusal{
            QStringLiteral("its pages store grey inverted (white is zero), which is not supported")};
    if (TIFFIsTiled(tiff))
        return ImportRefusal{QStringLiteral("its pages are stored in tiles, which is not supported")};
    const std::optional<SampleType> type = sampleType(format, bits);
    if (!type)
        return ImportRefusal{
            QStringLiteral("its %1-bit samples (format %2) cannot be shown; 8-, 16-, 32- and 64-bit "
                           "integers and floats can")
                .arg(bits)
                .arg(format)};
    page.type = *type;
    return page;
}

// Where a page's rows go: its samples as they are (wide samples, converted once their
// range is known), or straight into texels (8- and 16-bit samples).
struct PageTarget {
    std::byte* samples = nullptr;
    std::byte* texels = nullptr;
};

// libtiff reads a compressed strip whole before it decodes a row of it: the largest
// strip of the current page must lie within its file and within what the budget has
// left beside the volume.
std::optional<ImportRefusal> checkStrips(TIFF* tiff, std::uint64_t fileBytes, std::uint64_t room) {
    std::uint64_t* counts = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1 || counts == nullptr)
        return ImportRefusal{QStringLiteral("its strips have no byte counts")};
    const std::uint64_t largest = *std::max_element(counts, counts + TIFFNumberOfStrips(tiff));
    if (largest > fileBytes)
        return ImportRefusal{QStringLiteral("a strip of %1 bytes does not fit in the file of %2 bytes")
                                 .arg(largest)
                                 .arg(fileBytes)};
    if (largest > room)
        return ImportRefusal{QStringLiteral("a compressed strip of %1 MB does not fit in what the RAM budget "
                                            "leaves beside the volume")
                                 .arg(megabytesText(largest))};
    return std::nullopt;
}

// Reads the current page's rows into `target`.
// Stops, with nothing to say, when asked to.
std::optional<ImportRefusal> readPage(TIFF* tiff, const Page& page, const PageTarget& target,
                                      std::vector<std::byte>& row, const ImportProgress& progress) {
    const std::size_t rowBytes = std::size_t{page.width} * sampleTypeBytes(page.type);
    if (static_cast<std::size_t>(TIFFScanlineSize64(tiff)) != rowBytes)
        return ImportRefusal{
            QStringLiteral("its rows do not hold %1 bytes as their size says").arg(rowBytes)};
    row.resize(rowBytes);
    for (std::uint32_t y = 0; y < page.height; ++y) {
        if (progress.stopRequested())
            return std::nullopt;
        std::byte* into = target.samples ? target.samples + y * rowBytes : row.data();
        if (TIFFReadScanline(tiff, into, y, 0) < 0)
            return ImportRefusal{QStringLiteral("row %1 cannot be read (%2)").arg(y).arg(t_lastError)};
        if (target.texels)
            samplesToTexels(page.type, std::endian::native == std::endian::big, into,
                            target.texels + std::size_t{y} * page.width * kTexelBytes, page.width);
    }
    return std::nullopt;
}

Tiff open(const QString& path) {
    t_lastError.clear();
    // "m": plain reads instead of a memory map, which would fault if the file shrank.
    return Tiff(TIFFOpen(QFile::encodeName(path).constData(), "rm"));
}

struct Spacing {
    std::array<float, 3> millimetres{kFallbackSpacing, kFallbackSpacing, kFallbackSpacing};
    QStringList notes;
};

// A spacing the record's float keeps as a positive number: below float's smallest
// normal value it would round to 0 (a flat volume).
std::optional<double> usable(double value) {
    if (!std::isfinite(value) || value < std::numeric_limits<float>::min() ||
        value > std::numeric_limits<float>::max())
        return std::nullopt;
    return value;
}

Spacing spacingOf(TIFF* tiff, const std::optional<ImageJDescription>& imageJ, const QString& name) {
    Spacing spacing;
    std::optional<double> unit;
    if (imageJ && !imageJ->unit.isEmpty())
        unit = imageJ->millimetresPerUnit();
    std::uint16_t resolutionUnit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &resolutionUnit);
    if (!unit && resolutionUnit == RESUNIT_INCH)
        unit = kMillimetresPerInch;
    if (!unit && resolutionUnit == RESUNIT_CENTIMETER)
        unit = kMillimetresPerCentimetre;

    float xResolution = 0.0f, yResolution = 0.0f;
    const bool hasX = TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &xResolution) == 1;
    const bool hasY = TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &yResolution) == 1;
    const double scale = unit.value_or(1.0);
    const std::optional<double> x = hasX && xResolution > 0.0f ? usable(scale / xResolution) : std::nullopt;
    const std::optional<double> y = hasY && yResolution > 0.0f ? usable(scale / yResolution) : std::nullopt;
    const std::optional<double> z =
        imageJ && imageJ->spacing ? usable(*imageJ->spacing * scale) : std::nullopt;

    if (x && y) {
        spacing.millimetres[0] = static_cast<float>(*x);
        spacing.millimetres[1] = static_cast<float>(*y);
        if (!unit)
            spacing.notes << QStringLiteral(
                                 "%1 names no length unit; its pixel sizes are taken as millimetres.")
                                 .arg(name);
    } else {
        spacing.notes << QStringLiteral("%1 gives no pixel size; 1.0 stands in.").arg(name);
    }
    if (z) {
        spacing.millimetres[2] = static_cast<float>(*z);
    } else {
        spacing.millimetres[2] = spacing.millimetres[0];
        spacing.notes << QStringLiteral("%1 gives no slice spacing; slices are taken as far apart as pixels.")
                             .arg(name);
    }
    return spacing;
}

QString compressionName(TIFF* tiff) {
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    const TIFFCodec* codec = TIFFFindCODEC(compression);
    return codec ? QString::fromLatin1(codec->name).toLower() : QString::number(compression);
}

} // namespace

ImportResult<VolumeRecord> TiffVolumeReader::read(const QString& path, const ImportOptions& options,
                                                  const ImportProgress& progress) {
    static std::once_flag handlers;
    std::call_once(handlers, [] {
        TIFFSetErrorHandler(keepError);
        TIFFSetWarningHandler(ignoreWarning);
    });

    const QString name = QFileInfo(path).fileName();
    const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
        return *refusal;
    const Tiff first = open(path);
    if (!first)
        return ImportRefusal{
            QStringLiteral("%1 is not a TIFF file that can be read (%2).").arg(name, t_lastError)};
    ImportResult<Page> firstPage = pageOf(first.get());
    if (const auto* refusal = std::get_if<ImportRefusal>(&firstPage))
        return ImportRefusal{QStringLiteral("%1: %2.").arg(name, refusal->reason)};
    const Page page = std::get<Page>(firstPage);

    char* descriptionText = nullptr;
    std::optional<ImageJDescription> imageJ;
    if (TIFFGetField(first.get(), TIFFTAG_IMAGEDESCRIPTION, &descriptionText) == 1 && descriptionText)
        imageJ = ImageJDescription::parse(QString::fromUtf8(descriptionText));
    // Pages that divide along one axis only are one stack, whatever ImageJ called the axis
    // (some writers label a plain stack as channels); along two or more they would be
    // mixed into one volume.
    if (imageJ && imageJ->isHyperstack())
        return ImportRefusal{
            QStringLiteral("%1 is a hyperstack of %2 slices, %3 channels and %4 frames; only a single "
                           "stack of slices can be shown.")
                .arg(name)
                .arg(imageJ->slices)
                .arg(imageJ->channels)
                .arg(imageJ->frames)};
    QStringList axisNotes;
    if (imageJ && (imageJ->channels > 1 || imageJ->frames > 1))
        axisNotes << QStringLiteral("The %1 %2 of %3 are shown as slices.")
                         .arg(std::max(imageJ->channels, imageJ->frames))
                         .arg(imageJ->channels > 1 ? QStringLiteral("channels") : QStringLiteral("frames"))
                         .arg(name);

    // The pages of this file, or the numbered files around it when it has only one. A
    // chain of pages that breaks off is a damaged file, not a shorter stack.
    t_lastError.clear();
    const std::int64_t pages = TIFFNumberOfDirectories(first.get());
    if (!t_lastError.isEmpty())
        return ImportRefusal{QStringLiteral("%1 is damaged or cut short (%2).").arg(name, t_lastError)};
    const QStringList files = pages > 1 ? QStringList{path} : NumberedFiles::around(path);
    if (const std::optional<ImportRefusal> refusal = NumberedFiles::refuseGaps(files))
        return *refusal;
    const std::int64_t depth = pages > 1 ? pages : files.size();
    // 8- and 16-bit pages become texels as they are read, one row at a time; wider ones
    // are held whole beside their texels until their range is known.
    const std::size_t sampleBytes = sampleTypeBytes(page.type);
    const bool intoTexels = sampleBytes <= kTexelBytes;
    const std::size_t rowBytes = std::size_t{page.width} * sampleBytes;
    const DecodePeak peak{intoTexels ? kTexelBytes : sampleBytes + kTexelBytes, rowBytes};
    if (const std::optional<ImportRefusal> refusal =
            refuseVolumeSize(page.width, page.height, depth, options, peak))
        return ImportRefusal{QStringLiteral("%1: %2").arg(name, refusal->reason)};
    const std::uint64_t stripRoom = options.ramBudgetBytes - *peakBytes(page.width, page.height, depth, peak);

    const std::size_t sliceSamples = std::size_t{page.width} * page.height;
    const auto count = sliceSamples * static_cast<std::size_t>(depth);
    const std::size_t heldBytes = count * (intoTexels ? kTexelBytes : sampleBytes);
    QByteArray texels;
    QByteArray samples;
    try {
        (intoTexels ? texels : samples) = ByteBuffer::allocate(heldBytes);
    } catch (const std::bad_alloc&) {
        return ImportRefusal{QStringLiteral("There is not enough memory for the %1 MB of %2.")
                                 .arg(megabytesText(heldBytes), name)};
    }
    std::vector<std::byte> row;
    // From the first page, before the pages are read through.
    const Spacing spacing = spacingOf(first.get(), imageJ, name);
    const QString encoding = compressionName(first.get());
    const ImportProgress reading = intoTexels ? progress : progress.part(0.0, kReadShare);
    for (std::int64_t slice = 0; slice < depth; ++slice) {
        if (progress.stopRequested())
            return cancelledImport();
        Tiff other;
        TIFF* tiff = first.get();
        QString sliceName = name;
        if (pages > 1) {
            if (slice > 0 && TIFFReadDirectory(tiff) != 1)
                return ImportRefusal{QStringLiteral("%1: page %2 cannot be read (%3).")
                                         .arg(name)
                                         .arg(slice + 1)
                                         .arg(t_lastError)};
        } else if (slice > 0 || files.front() != path) {
            sliceName = QFileInfo(files[slice]).fileName();
            // libtiff opens the file itself: a named pipe among the siblings would block it.
            const ImportResult<std::uint64_t> sibling = RegularFile::sizeOf(files[slice]);
            if (const auto* refusal = std::get_if<ImportRefusal>(&sibling))
                return ImportRefusal{
                    QStringLiteral("Slice %1 of the stack: %2").arg(slice + 1).arg(refusal->reason)};
            other = open(files[slice]);
            if (!other)
                return ImportRefusal{QStringLiteral("%1, slice %2 of the stack, cannot be read (%3).")
                                         .arg(sliceName)
                                         .arg(slice + 1)
                                         .arg(t_lastError)};
            tiff = other.get();
        }
        ImportResult<Page> thisPage = pageOf(tiff);
        if (const auto* refusal = std::get_if<ImportRefusal>(&thisPage))
            return ImportRefusal{
                QStringLiteral("%1, slice %2: %3.").arg(sliceName).arg(slice + 1).arg(refusal->reason)};
        if (std::get<Page>(thisPage) != page)
            return ImportRefusal{QStringLiteral("%1, slice %2, is %3 where the stack is %4.")
                                     .arg(sliceName)
                                     .arg(slice + 1)
                                     .arg(describe(std::get<Page>(thisPage)), describe(page))};
        const auto at = static_cast<std::size_t>(slice) * sliceSamples;
        const PageTarget target{
            intoTexels ? nullptr : reinterpret_cast<std::byte*>(samples.data()) + at * sampleBytes,
            intoTexels ? reinterpret_cast<std::byte*>(texels.data()) + at * kTexelBytes : nullptr};
        std::optional<ImportRefusal> refusal = checkStrips(
            tiff, static_cast<std::uint64_t>(QFileInfo(pages > 1 ? path : files[slice]).size()), stripRoom);
        if (!refusal)
            refusal = readPage(tiff, page, target, row, progress);
        if (refusal)
            return ImportRefusal{
                QStringLiteral("%1, slice %2: %3.").arg(sliceName).arg(slice + 1).arg(refusal->reason)};
        reading.report(static_cast<double>(slice + 1) / static_cast<double>(depth));
    }
    // A page left part-read by a stop must never be shown.
    if (progress.stopRequested())
        return cancelledImport();

    TexelConverter::Texels converted{{}, texelSampleOffset(page.type), 1.0, 0.0, {}};
    if (intoTexels) {
        converted.data = ByteBuffer::fromByteArray(std::move(texels));
    } else {
        ImportResult<TexelConverter::Texels> wide =
            TexelConverter(page.type, count, progress.part(kReadShare, 1.0 - kReadShare))
                .convert(
                    std::as_bytes(std::span(samples.constData(), static_cast<std::size_t>(samples.size()))));
        if (const auto* refusal = std::get_if<ImportRefusal>(&wide))
            return ImportRefusal{QStringLiteral("%1: %2").arg(name, refusal->reason)};
        converted = std::get<TexelConverter::Texels>(std::move(wide));
    }

    VolumeRecord record;
    record.format = QStringLiteral("tiff");
    record.type = sampleTypeName(page.type);
    record.dimension = 3;
    record.width = page.width;
    record.height = page.height;
    record.depth = static_cast<std::uint32_t>(depth);
    record.cellspaceX = spacing.millimetres[0];
    record.cellspaceY = spacing.millimetres[1];
    record.cellspaceZ = spacing.millimetres[2];
    record.encoding = encoding;
    record.dataFile = files.front();
    record.data = converted.data;
    record.sampleOffset = converted.sampleOffset;
    record.valueScale = converted.valueScale;
    record.valueOffset = converted.valueOffset;
    if (pages <= 1 && files.size() > 1)
        record.notes << QStringLiteral("%1 slices from %2 to %3.")
                            .arg(files.size())
                            .arg(QFileInfo(files.front()).fileName(), QFileInfo(files.back()).fileName());
    record.notes += axisNotes;
    record.notes += spacing.notes;
    record.notes += converted.notes;
    return record;
}
