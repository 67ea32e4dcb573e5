// Index of this file: the series' checks (checkSizes, checkRescale, refuseSpacing); where
// decoded slices wait until the series' value range is known (StoredRange, StoredSamples:
// samples of up to 16 bits wait as texels, 32-bit ones beside them); DicomSeriesReader::read,
// which orders the slices, decodes them within the RAM budget and fills the record.

#include "volume/dicom/DicomSeriesReader.h"

#include "volume/core/VolumeSize.h"
#include "volume/dicom/DicomFrameAxes.h"
#include "volume/dicom/DicomSliceDecoder.h"
#include "volume/dicom/DicomSliceOrder.h"
#include "volume/samples/LinearRescale.h"

#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <vector>

namespace {

constexpr std::int32_t kSignedBias = 32768; // int16 -32768 becomes texel 0
constexpr std::uint32_t kVolumeDimension = 3;
// Pixel spacings of one series agree to far better than this (mm).
constexpr double kSpacingTolerance = 1e-3;

QString name(const QString& path) {
    return QFileInfo(path).fileName();
}

bool isWhole(double value) {
    return std::isfinite(value) && value == std::round(value) &&
           std::abs(value) < std::numeric_limits<std::int16_t>::max();
}

// Slices of one size, or the refusal that lists the sizes found.
std::optional<ImportRefusal> checkSizes(const DicomSeries& series) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> sizes;
    for (const DicomSlice& slice : series.slices)
        ++sizes[{slice.columns, slice.rows}];
    if (sizes.size() > 1) {
        QStringList found;
        for (const auto& [size, count] : sizes)
            found << QStringLiteral("%1 x %2 (%3)")
                         .arg(size.first)
                         .arg(size.second)
                         .arg(ImportRefusal::counted(count, "file", "files"));
        return ImportRefusal{
            QStringLiteral("The slices differ in size: %1.").arg(found.join(QStringLiteral(", ")))};
    }
    const DicomSlice& first = series.slices.front();
    const std::uint32_t depth =
        series.slices.size() == 1 ? first.frames : std::uint32_t(series.slices.size());
    if (first.columns == 0 || first.rows == 0)
        return ImportRefusal{QStringLiteral("%1 has no Rows or Columns.").arg(name(first.path))};
    if (std::optional<ImportRefusal> refusal = refuseVolumeShape(first.columns, first.rows, depth))
        return refusal;
    if (series.slices.size() > 1 &&
        std::ranges::any_of(series.slices, [](const auto& s) { return s.frames > 1; }))
        return ImportRefusal{
            QStringLiteral("The series spreads over %1 files, some with several frames (a time series or "
                           "several volumes); only single-frame slices or one multi-frame file can be shown.")
                .arg(series.slices.size())};
    return std::nullopt;
}

// A rescale slope or intercept that is not a number would turn every value of its slice
// into one.
std::optional<ImportRefusal> checkRescale(const DicomSlice& slice) {
    if (std::isfinite(slice.slope) && std::isfinite(slice.intercept))
        return std::nullopt;
    return ImportRefusal{
        QStringLiteral("%1 gives a Rescale Slope of %2 and Rescale Intercept of %3; both must be "
                       "finite numbers.")
            .arg(name(slice.path))
            .arg(slice.slope)
            .arg(slice.intercept)};
}

// Every slice keeps its stored samples as texels: one rescale for the whole series,
// slope 1 and a whole intercept, 8 or 16 bits of one signedness.
bool storedSamplesAreTexels(const std::vector<DicomSlice>& slices) {
    const DicomSlice& first = slices.front();
    return std::ranges::all_of(slices, [&first](const DicomSlice& slice) {
        return slice.slope == 1.0 && slice.intercept == first.intercept && isWhole(slice.intercept) &&
               (slice.bitsAllocated == 8 || slice.bitsAllocated == 16) &&
               slice.signedSamples == first.signedSamples;
    });
}

bool isPositive(double spacing) {
    return std::isfinite(spacing) && spacing > 0.0;
}

// Pixel Spacing as written and the voxel spacing as read: zero, negative or not finite,
// they would draw the volume flat, mirrored or not at all (GDCM shows a zero or
// unreadable Pixel Spacing as 1 mm, so the written one is checked too).
std::optional<ImportRefusal> refuseSpacing(const std::vector<DicomSlice>& slices,
                                           const VolumeRecord& record) {
    for (const DicomSlice& slice : slices) {
        if (slice.pixelSpacing && !std::ranges::all_of(*slice.pixelSpacing, isPositive))
            return ImportRefusal{
                QStringLiteral("%1 has a Pixel Spacing of %2\\%3 mm: it must be positive and finite.")
                    .arg(name(slice.path))
                    .arg((*slice.pixelSpacing)[0])
                    .arg((*slice.pixelSpacing)[1])};
    }
    const std::array<float, 3> spacing{record.cellspaceX, record.cellspaceY, record.cellspaceZ};
    if (std::ranges::all_of(spacing, isPositive))
        return std::nullopt;
    return ImportRefusal{QStringLiteral("%1 gives a voxel spacing of %2 x %3 x %4 mm: Pixel Spacing and the "
                                        "distance between slices must be positive and finite.")
                             .arg(name(record.dataFile))
                             .arg(spacing[0])
                             .arg(spacing[1])
                             .arg(spacing[2])};
}

// The smallest and largest stored sample of one slice.
struct StoredRange {
    std::int64_t low = std::numeric_limits<std::int64_t>::max();
    std::int64_t high = std::numeric_limits<std::int64_t>::min();
};

// Where the decoded slices wait until the series' value range is known. Samples of up to
// 16 bits wait as texels already (signed ones offset by 32768), so that a series whose
// samples are its texels needs nothing more; 32-bit ones wait in an array of their own
// and are mapped into the texels at the end.
class StoredSamples {
  public:
    StoredSamples(std::size_t voxels, bool wide)
        : m_texels(ByteBuffer::allocate(voxels * kTexelBytes)), m_wide(wide ? voxels : 0) {}

    static std::size_t bytesPerVoxel(bool wide) { return kTexelBytes + (wide ? sizeof(std::uint32_t) : 0); }

    void store(std::size_t index, std::int64_t stored, const DicomSlice& slice) {
        if (m_wide.empty())
            texels()[index] = static_cast<std::uint16_t>(stored + bias(slice));
        else
            m_wide[index] = static_cast<std::uint32_t>(stored);
    }

    std::int64_t stored(std::size_t index, const DicomSlice& slice) const {
        if (m_wide.empty())
            return std::int64_t{texels()[index]} - bias(slice);
        return slice.signedSamples ? std::int64_t{static_cast<std::int32_t>(m_wide[index])}
                                   : std::int64_t{m_wide[index]};
    }

    std::uint16_t* texels() { return reinterpret_cast<std::uint16_t*>(m_texels.data()); }
    const std::uint16_t* texels() const {
        return reinterpret_cast<const std::uint16_t*>(m_texels.constData());
    }
    QByteArray takeTexels() { return std::move(m_texels); }

    static std::int32_t bias(const DicomSlice& slice) { return slice.signedSamples ? kSignedBias : 0; }

  private:
    QByteArray m_texels;
    std::vector<std::uint32_t> m_wide;
};

// The values of every slice (slope × stored + intercept) into one LinearRescale over
// their whole range, or why they have none.
ImportResult<LinearRescale> rescaleOf(const std::vector<DicomSlice>& slices, const DicomStack& stack,
                                      const std::vector<StoredRange>& ranges) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t i = 0; i < stack.order.size(); ++i) {
        const DicomSlice& slice = slices[stack.order[i]];
        for (const std::int64_t stored : {ranges[i].low, ranges[i].high}) {
            const double value = std::fma(static_cast<double>(stored), slice.slope, slice.intercept);
            low = std::min(low, value);
            high = std::max(high, value);
        }
    }
    if (!std::isfinite(low) || !std::isfinite(high))
        return ImportRefusal{
            QStringLiteral("The series' Rescale Slope and Intercept carry its values beyond the "
                           "range of real numbers.")};
    return LinearRescale::forRange(low, high);
}

} // namespace

ImportResult<VolumeRecord> DicomSeriesReader::read(const DicomSeries& series, const ImportOptions& options,
                                                   const ImportProgress& progress) {
    if (series.slices.empty())
        return ImportRefusal{QStringLiteral("The series %1 has no images.").arg(series.uid)};
    if (const std::optional<ImportRefusal> refusal = checkSizes(series))
        return *refusal;
    for (const DicomSlice& slice : series.slices) {
        if (const std::optional<ImportRefusal> refusal = checkRescale(slice))
            return *refusal;
    }
    ImportResult<DicomStack> arranged = DicomSliceOrder::arrange(series.slices);
    if (const auto* refusal = std::get_if<ImportRefusal>(&arranged))
        return *refusal;
    DicomStack& stack = std::get<DicomStack>(arranged);

    std::vector<DicomSlice> slices = series.slices;
    const DicomSlice& first = slices.front();
    const std::uint32_t frames = first.frames; // more than 1 only for a lone multi-frame file
    const std::size_t sliceVoxels = std::size_t{first.columns} * first.rows * frames;
    const std::size_t voxels = sliceVoxels * stack.order.size();
    const std::uint32_t depth = frames * static_cast<std::uint32_t>(stack.order.size());

    // The peak: the texels (and 32-bit samples until the range is known), and each
    // decoder at work with its file and its slice.
    const bool wide = std::ranges::any_of(slices, [](const DicomSlice& s) { return s.bitsAllocated > 16; });
    std::uint64_t largestFile = 0;
    for (const DicomSlice& slice : slices)
        largestFile = std::max(largestFile, static_cast<std::uint64_t>(QFileInfo(slice.path).size()));
    const std::uint64_t decoding = DicomSliceDecoder::decodingBytes(
        largestFile, sliceVoxels * (wide ? sizeof(std::uint32_t) : kTexelBytes));
    const DecodePeak peak{StoredSamples::bytesPerVoxel(wide), decoding};
    if (const std::optional<ImportRefusal> refusal =
            refuseVolumeSize(first.columns, first.rows, depth, options, peak))
        return *refusal;
    // As many decoders side by side as the budget leaves room for, one at least.
    const std::uint64_t room = options.ramBudgetBytes - *peakBytes(first.columns, first.rows, depth, peak);
    const int decoderCount =
        static_cast<int>(std::min<std::uint64_t>(1 + room / std::max<std::uint64_t>(decoding, 1),
                                                 static_cast<std::uint64_t>(QThread::idealThreadCount())));

    StoredSamples held(voxels, wide);
    std::vector<StoredRange> ranges(stack.order.size());

    VolumeRecord record;
    record.format = QStringLiteral("dicom");
    record.dimension = kVolumeDimension;
    record.width = first.columns;
    record.height = first.rows;
    record.depth = depth;
    record.cellspaceZ = static_cast<float>(stack.spacing);
    record.hounsfield = series.modality == QStringLiteral("CT") || series.rescaleType == QStringLiteral("HU");
    if (series.window)
        record.fileWindow = VolumeRecord::Window{(*series.window)[0], (*series.window)[1]};
    record.notes = stack.notes;
    // A multi-frame file's frames are shown in the order stored: its z is read from the
    // frames' positions once the file is decoded.
    if (stack.axes && frames == 1)
        record.orientation = PatientOrientation::fromVectors(*stack.axes);

    // The first slice in order decides the record's spacing and type; the others are
    // decoded side by side (decompression dominates), each into its own place.
    const auto place = [&](std::size_t i, DicomSliceDecoder& decoder) -> std::optional<ImportRefusal> {
        const DicomSlice& slice = slices[stack.order[i]];
        const gdcm::Image& image = decoder.image();
        // Written so that a NaN spacing differs too.
        if (!(std::abs(image.GetSpacing(0) - record.cellspaceX) <= kSpacingTolerance) ||
            !(std::abs(image.GetSpacing(1) - record.cellspaceY) <= kSpacingTolerance))
            return ImportRefusal{QStringLiteral("The slices differ in pixel spacing: %1 and %2.")
                                     .arg(name(record.dataFile), name(slice.path))};
        const bool sliceSigned = image.GetPixelFormat().GetPixelRepresentation() == 1;
        if (sliceSigned != slice.signedSamples || (!wide && image.GetPixelFormat().GetBitsAllocated() > 16))
            return ImportRefusal{QStringLiteral("%1 stores its samples differently from the header's Bits "
                                                "Allocated and Pixel Representation.")
                                     .arg(name(slice.path))};
        const std::size_t start = i * sliceVoxels;
        StoredRange& range = ranges[i];
        decoder.forEachStored([&](std::size_t v, std::int64_t stored) {
            held.store(start + v, stored, slice);
            range.low = std::min(range.low, stored);
            range.high = std::max(range.high, stored);
        });
        return std::nullopt;
    };

    {
        DicomSliceDecoder decoder;
        DicomSlice& firstInOrder = slices[stack.order.front()];
        if (const std::optional<ImportRefusal> refusal =
                decoder.decode(firstInOrder, first.columns, first.rows, frames))
            return *refusal;
        const gdcm::Image& image = decoder.image();
        // An enhanced multi-frame file keeps its rescale in functional groups, which GDCM
        // reads and the header scan does not.
        if (frames > 1) {
            firstInOrder.slope = image.GetSlope();
            firstInOrder.intercept = image.GetIntercept();
            if (const std::optional<ImportRefusal> refusal = checkRescale(firstInOrder))
                return *refusal;
            // GDCM measures the frames' spacing along the planes' normal: negative where the
            // frames were stored from the top down. Shown in stored order, they lie its size apart.
            record.cellspaceZ = static_cast<float>(std::abs(image.GetSpacing(2)));
            record.notes = QStringList{
                QStringLiteral("A multi-frame file: its frames are shown in the order they are stored.")};
            const std::variant<DicomFrameAxes::Axes, QString> axes =
                DicomFrameAxes::read(decoder.dataSet(), frames);
            if (const auto* why = std::get_if<QString>(&axes))
                record.notes << QStringLiteral("The patient's sides are not named: %1.").arg(*why);
            else
                record.orientation = PatientOrientation::fromVectors(std::get<DicomFrameAxes::Axes>(axes));
        }
        record.cellspaceX = static_cast<float>(image.GetSpacing(0));
        record.cellspaceY = static_cast<float>(image.GetSpacing(1));
        record.type = QString::fromLatin1(image.GetPixelFormat().GetScalarTypeAsString()).toLower();
        record.encoding = decoder.transferSyntax();
        record.dataFile = firstInOrder.path;
        if (const std::optional<ImportRefusal> refusal = refuseSpacing(slices, record))
            return *refusal;
        if (image.GetPhotometricInterpretation() == gdcm::PhotometricInterpretation::MONOCHROME1)
            record.notes << QStringLiteral(
                "MONOCHROME1: the lowest values are meant to be brightest; they are shown "
                "as values, dark to bright.");
        if (const std::optional<ImportRefusal> refusal = place(0, decoder))
            return *refusal;
    }

    std::vector<std::size_t> rest(stack.order.size() - 1);
    std::iota(rest.begin(), rest.end(), std::size_t{1});
    std::vector<std::optional<ImportRefusal>> refusals(stack.order.size());
    std::mutex reporting; // the caller's progress report need not be thread-safe
    std::size_t done = 1;
    const auto decodeSlice = [&](std::size_t i) {
        if (progress.stopRequested())
            return;
        DicomSliceDecoder own;
        refusals[i] = own.decode(slices[stack.order[i]], first.columns, first.rows, frames);
        if (!refusals[i])
            refusals[i] = place(i, own);
        const std::lock_guard lock(reporting);
        progress.report(static_cast<double>(++done) / static_cast<double>(stack.order.size()));
    };
    if (decoderCount > 1) {
        // A pool of its own: the read itself runs on a thread of the global pool, which may
        // have no other thread free to take the slices. The calling thread decodes too.
        QThreadPool decoders;
        decoders.setMaxThreadCount(decoderCount - 1);
        QtConcurrent::blockingMap(&decoders, rest, decodeSlice);
    } else {
        std::ranges::for_each(rest, decodeSlice);
    }
    if (progress.stopRequested())
        return cancelledImport();
    for (const std::optional<ImportRefusal>& refusal : refusals) {
        if (refusal)
            return *refusal;
    }

    if (!wide && storedSamplesAreTexels(slices)) {
        record.sampleOffset = static_cast<std::int32_t>(first.intercept) - StoredSamples::bias(first);
    } else {
        ImportResult<LinearRescale> rescaled = rescaleOf(slices, stack, ranges);
        if (const auto* refusal = std::get_if<ImportRefusal>(&rescaled))
            return *refusal;
        const LinearRescale& rescale = std::get<LinearRescale>(rescaled);
        std::uint16_t* texel = held.texels();
        for (std::size_t i = 0; i < stack.order.size(); ++i) {
            const DicomSlice& slice = slices[stack.order[i]];
            for (std::size_t v = i * sliceVoxels; v < (i + 1) * sliceVoxels; ++v)
                texel[v] = rescale.texel(
                    std::fma(static_cast<double>(held.stored(v, slice)), slice.slope, slice.intercept));
        }
        record.valueScale = rescale.scale;
        record.valueOffset = rescale.offset;
    }
    record.data = ByteBuffer::fromByteArray(held.takeTexels());
    return record;
}
