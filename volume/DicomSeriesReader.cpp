#include "DicomSeriesReader.h"

#include "DicomSliceOrder.h"
#include "LinearRescale.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <gdcmExplicitDataElement.h>
#include <gdcmImageReader.h>
#include <gdcmImplicitDataElement.h>
#include <limits>
#include <map>
#include <vector>

namespace {

constexpr std::int32_t kSignedBias = 32768; // int16 -32768 becomes texel 0
constexpr std::uint32_t kVolumeDimension = 3;
// Pixel spacings of one series agree to far better than this (mm).
constexpr double kSpacingTolerance = 1e-3;
constexpr std::size_t kTexelBytes = sizeof(std::uint16_t);
constexpr std::uint64_t kPreambleAndMagic = 132;
// How far the parsed length may exceed the file before it counts as cut short: GDCM
// tidies a few element headers as it reads (odd lengths, unknown VRs), a truncated file
// misses far more.
constexpr std::uint64_t kLengthSlack = 64;

QString name(const QString& path) {
    return QFileInfo(path).fileName();
}

bool isWhole(double value) {
    return std::isfinite(value) && value == std::round(value) &&
           std::abs(value) < std::numeric_limits<std::int16_t>::max();
}

// The stored samples of one decoded slice, as integers; nothing for sample types a
// CT or MR slice does not use.
template <typename T> void widen(const std::vector<char>& bytes, std::vector<std::int64_t>& stored) {
    stored.resize(bytes.size() / sizeof(T));
    for (std::size_t i = 0; i < stored.size(); ++i) {
        T value;
        std::memcpy(&value, bytes.data() + i * sizeof(T), sizeof(T));
        stored[i] = value;
    }
}

bool widenStored(gdcm::PixelFormat::ScalarType type, const std::vector<char>& bytes,
                 std::vector<std::int64_t>& stored) {
    switch (type) {
    case gdcm::PixelFormat::UINT8:
        widen<std::uint8_t>(bytes, stored);
        return true;
    case gdcm::PixelFormat::INT8:
        widen<std::int8_t>(bytes, stored);
        return true;
    case gdcm::PixelFormat::UINT16:
        widen<std::uint16_t>(bytes, stored);
        return true;
    case gdcm::PixelFormat::INT16:
        widen<std::int16_t>(bytes, stored);
        return true;
    case gdcm::PixelFormat::UINT32:
        widen<std::uint32_t>(bytes, stored);
        return true;
    case gdcm::PixelFormat::INT32:
        widen<std::int32_t>(bytes, stored);
        return true;
    default:
        return false;
    }
}

// Slices of one size, or the refusal that lists the sizes found.
std::optional<NrrdRefusal> checkSizes(const DicomSeries& series, const NrrdReadOptions& options) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> sizes;
    for (const DicomSlice& slice : series.slices)
        ++sizes[{slice.columns, slice.rows}];
    if (sizes.size() > 1) {
        QStringList found;
        for (const auto& [size, count] : sizes)
            found << QStringLiteral("%1 x %2 (%3 files)").arg(size.first).arg(size.second).arg(count);
        return NrrdRefusal{
            QStringLiteral("The slices differ in size: %1.").arg(found.join(QStringLiteral(", ")))};
    }
    const DicomSlice& first = series.slices.front();
    const std::uint32_t depth =
        series.slices.size() == 1 ? first.frames : std::uint32_t(series.slices.size());
    if (first.columns == 0 || first.rows == 0)
        return NrrdRefusal{QStringLiteral("%1 has no Rows or Columns.").arg(name(first.path))};
    if (std::max({first.columns, first.rows, depth}) > options.maxTextureSize)
        return NrrdRefusal{
            QStringLiteral("The volume size %1 x %2 x %3 exceeds the largest 3-D texture the GPU "
                           "takes (%4 voxels per side).")
                .arg(first.columns)
                .arg(first.rows)
                .arg(depth)
                .arg(options.maxTextureSize)};
    if (series.slices.size() > 1 &&
        std::ranges::any_of(series.slices, [](const auto& s) { return s.frames > 1; }))
        return NrrdRefusal{QStringLiteral("The series mixes multi-frame files with others.")};
    return std::nullopt;
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

// Reads and decodes one file; the refusal names the file and what is wrong with it.
class SliceDecoder {
  public:
    std::optional<NrrdRefusal> decode(const DicomSlice& slice, std::uint32_t width, std::uint32_t height,
                                      std::uint32_t frames) {
        m_reader = std::make_unique<gdcm::ImageReader>();
        const QByteArray fileName = QFile::encodeName(slice.path);
        m_reader->SetFileName(fileName.constData());
        if (!m_reader->Read())
            return NrrdRefusal{QStringLiteral("%1 cannot be read: it is damaged or not a DICOM image.")
                                   .arg(name(slice.path))};
        const gdcm::Image& image = m_reader->GetImage();
        const gdcm::PixelFormat& format = image.GetPixelFormat();
        if (format.GetSamplesPerPixel() != 1)
            return NrrdRefusal{QStringLiteral("%1 holds colour pixels; only grey images can be shown.")
                                   .arg(name(slice.path))};
        const std::uint32_t depth = image.GetNumberOfDimensions() > 2 ? image.GetDimension(2) : 1;
        if (image.GetColumns() != width || image.GetRows() != height || depth != frames)
            return NrrdRefusal{
                QStringLiteral("%1 decodes to %2 x %3 x %4 voxels, its header says %5 x %6 x %7.")
                    .arg(name(slice.path))
                    .arg(image.GetColumns())
                    .arg(image.GetRows())
                    .arg(depth)
                    .arg(width)
                    .arg(height)
                    .arg(frames)};
        const std::size_t expected = std::size_t{width} * height * frames * format.GetPixelSize();
        if (const std::uint64_t missing = missingBytes(slice.path); missing > kLengthSlack)
            return NrrdRefusal{
                QStringLiteral("%1: its pixel data is cut short (the file ends %2 bytes early).")
                    .arg(name(slice.path))
                    .arg(missing)};
        m_bytes.resize(image.GetBufferLength());
        if (m_bytes.size() != expected || !image.GetBuffer(m_bytes.data()))
            return NrrdRefusal{QStringLiteral("%1: its pixel data (%2) cannot be decoded.")
                                   .arg(name(slice.path), transferSyntax())};
        if (!widenStored(format.GetScalarType(), m_bytes, m_stored))
            return NrrdRefusal{
                QStringLiteral("%1 stores %2 samples, which cannot be shown.")
                    .arg(name(slice.path), QString::fromLatin1(format.GetScalarTypeAsString()))};
        return std::nullopt;
    }

    const gdcm::Image& image() const { return m_reader->GetImage(); }

    // GDCM accepts a file that ends inside its pixel data ("incomplete pixel data") and
    // leaves the missing pixels at 0: a slice that would look plausible but be wrong. The
    // encoded length of everything it parsed says how long the file should be.
    std::uint64_t missingBytes(const QString& path) const {
        const gdcm::File& file = m_reader->GetFile();
        const gdcm::FileMetaInformation& header = file.GetHeader();
        const gdcm::DataSet& elements = file.GetDataSet();
        std::uint64_t parsed = header.GetFullLength(); // counts preamble and "DICM" even when absent
        if (header.GetPreamble().IsEmpty())
            parsed -= kPreambleAndMagic;
        parsed += header.GetDataSetTransferSyntax().IsExplicit()
                      ? std::uint64_t{elements.GetLength<gdcm::ExplicitDataElement>()}
                      : std::uint64_t{elements.GetLength<gdcm::ImplicitDataElement>()};
        const auto size = static_cast<std::uint64_t>(QFileInfo(path).size());
        return parsed > size ? parsed - size : 0;
    }
    const std::vector<std::int64_t>& stored() const { return m_stored; }
    QString transferSyntax() const {
        return QString::fromLatin1(gdcm::TransferSyntax::GetTSString(image().GetTransferSyntax())).trimmed();
    }

  private:
    std::unique_ptr<gdcm::ImageReader> m_reader;
    std::vector<char> m_bytes;
    std::vector<std::int64_t> m_stored;
};

} // namespace

NrrdResult<NRRDfmt> DicomSeriesReader::read(const DicomSeries& series, const NrrdReadOptions& options,
                                            const NrrdProgress& progress) {
    if (series.slices.empty())
        return NrrdRefusal{QStringLiteral("The series %1 has no images.").arg(series.uid)};
    if (const std::optional<NrrdRefusal> refusal = checkSizes(series, options))
        return *refusal;
    NrrdResult<DicomStack> arranged = DicomSliceOrder::arrange(series.slices);
    if (const auto* refusal = std::get_if<NrrdRefusal>(&arranged))
        return *refusal;
    DicomStack& stack = std::get<DicomStack>(arranged);

    std::vector<DicomSlice> slices = series.slices;
    const DicomSlice& first = slices.front();
    const std::uint32_t frames = first.frames; // more than 1 only for a lone multi-frame file
    const std::size_t sliceVoxels = std::size_t{first.columns} * first.rows * frames;
    const std::size_t voxels = sliceVoxels * stack.order.size();
    bool direct = true; // decided once the first slice is read
    const std::int32_t bias = first.signedSamples ? kSignedBias : 0;
    QByteArray texels(static_cast<qsizetype>(voxels * kTexelBytes), Qt::Uninitialized);
    auto* texel = reinterpret_cast<std::uint16_t*>(texels.data());
    std::vector<float> values; // rescaled values, mapped once their range is known

    NRRDfmt record;
    record.format = QStringLiteral("dicom");
    record.dimension = kVolumeDimension;
    record.width = first.columns;
    record.height = first.rows;
    record.depth = frames * static_cast<std::uint32_t>(stack.order.size());
    record.cellspaceZ = static_cast<float>(stack.spacing);
    record.hounsfield = series.modality == QStringLiteral("CT") || series.rescaleType == QStringLiteral("HU");
    if (series.window)
        record.fileWindow = NRRDfmt::Window{(*series.window)[0], (*series.window)[1]};
    record.notes = stack.notes;

    SliceDecoder decoder;
    for (std::size_t i = 0; i < stack.order.size(); ++i) {
        if (progress.stopRequested())
            return NrrdRefusal{QStringLiteral("The import was stopped.")};
        DicomSlice& slice = slices[stack.order[i]];
        if (const std::optional<NrrdRefusal> refusal =
                decoder.decode(slice, first.columns, first.rows, frames))
            return *refusal;
        const gdcm::Image& image = decoder.image();
        if (i == 0) {
            // An enhanced multi-frame file keeps its rescale in functional groups, which
            // GDCM reads and the header scan does not.
            if (frames > 1) {
                slice.slope = image.GetSlope();
                slice.intercept = image.GetIntercept();
            }
            direct = storedSamplesAreTexels(slices);
            if (!direct)
                values.resize(voxels);
            record.cellspaceX = static_cast<float>(image.GetSpacing(0));
            record.cellspaceY = static_cast<float>(image.GetSpacing(1));
            if (frames > 1) {
                record.cellspaceZ = static_cast<float>(image.GetSpacing(2));
                record.notes =
                    QStringList{QStringLiteral("A multi-frame file: its frames are shown in the order "
                                               "they are stored.")};
            }
            record.type = QString::fromLatin1(image.GetPixelFormat().GetScalarTypeAsString()).toLower();
            record.encoding = decoder.transferSyntax();
            record.dataFile = slice.path;
            if (image.GetPhotometricInterpretation() == gdcm::PhotometricInterpretation::MONOCHROME1)
                record.notes << QStringLiteral(
                    "MONOCHROME1: the lowest values are meant to be brightest; they "
                    "are shown as values, dark to bright.");
        } else if (std::abs(image.GetSpacing(0) - record.cellspaceX) > kSpacingTolerance ||
                   std::abs(image.GetSpacing(1) - record.cellspaceY) > kSpacingTolerance) {
            return NrrdRefusal{QStringLiteral("The slices differ in pixel spacing: %1 and %2.")
                                   .arg(name(record.dataFile), name(slice.path))};
        }
        const std::vector<std::int64_t>& stored = decoder.stored();
        const std::size_t start = i * sliceVoxels;
        if (direct) {
            const bool sliceSigned = image.GetPixelFormat().GetPixelRepresentation() == 1;
            if (sliceSigned != first.signedSamples || image.GetPixelFormat().GetBitsAllocated() > 16)
                return NrrdRefusal{QStringLiteral("%1 stores its samples differently from the header's Bits "
                                                  "Allocated and Pixel Representation.")
                                       .arg(name(slice.path))};
            for (std::size_t v = 0; v < sliceVoxels; ++v)
                texel[start + v] = static_cast<std::uint16_t>(stored[v] + bias);
        } else {
            for (std::size_t v = 0; v < sliceVoxels; ++v)
                values[start + v] =
                    static_cast<float>(static_cast<double>(stored[v]) * slice.slope + slice.intercept);
        }
        progress.report(static_cast<double>(i + 1) / static_cast<double>(stack.order.size()));
    }

    if (direct) {
        record.sampleOffset = static_cast<std::int32_t>(first.intercept) - bias;
    } else {
        const auto [low, high] = std::ranges::minmax_element(values);
        const LinearRescale rescale = LinearRescale::forRange(*low, *high);
        for (std::size_t v = 0; v < voxels; ++v)
            texel[v] = rescale.texel(values[v]);
        record.valueScale = rescale.scale;
        record.valueOffset = rescale.offset;
    }
    record.data = ByteBuffer::fromByteArray(std::move(texels));
    return record;
}
