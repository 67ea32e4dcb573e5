#include "volume/dicom/DicomSliceDecoder.h"

#include "volume/dicom/DicomFileCheck.h"
#include "volume/files/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <gdcmExplicitDataElement.h>
#include <gdcmImageHelper.h>
#include <gdcmImplicitDataElement.h>

namespace {

constexpr std::uint64_t kPreambleAndMagic = 132;
// How far the parsed length may exceed the file before it counts as cut short: GDCM
// tidies a few element headers as it reads (odd lengths, unknown VRs), a truncated file
// misses far more.
constexpr std::uint64_t kLengthSlack = 64;

// GDCM reads the Rescale Slope and Intercept of most SOP classes from the data set, where
// a missing slope is 1; for some (MR among them) it goes its own way and asserts on a
// file that gives an intercept without a slope. The series' values are rescaled as the
// data set gives them whatever the class, so GDCM is asked to read them so too.
void readRescaleFromTheDataSet() {
    static const bool asked = [] {
        gdcm::ImageHelper::SetForceRescaleInterceptSlope(true);
        return true;
    }();
    (void)asked;
}

QString name(const QString& path) {
    return QFileInfo(path).fileName();
}

// The sample types a CT or MR slice uses; forEachStored hands over these.
bool isStoredType(gdcm::PixelFormat::ScalarType type) {
    switch (type) {
    case gdcm::PixelFormat::UINT8:
    case gdcm::PixelFormat::INT8:
    case gdcm::PixelFormat::UINT16:
    case gdcm::PixelFormat::INT16:
    case gdcm::PixelFormat::UINT32:
    case gdcm::PixelFormat::INT32:
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<ImportRefusal> DicomSliceDecoder::decode(const DicomSlice& slice, std::uint32_t width,
                                                       std::uint32_t height, std::uint32_t frames) {
    // The folder was listed before: the file may have been swapped for a pipe since.
    const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(slice.path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
        return *refusal;
    // Walked again: the file may have changed since the scan.
    if (const DicomFileCheck::Result walked = DicomFileCheck::check(slice.path);
        walked.verdict != DicomFileCheck::Verdict::Sound)
        return ImportRefusal{walked.reason};
    readRescaleFromTheDataSet();
    m_reader = std::make_unique<gdcm::ImageReader>();
    const QByteArray fileName = QFile::encodeName(slice.path);
    m_reader->SetFileName(fileName.constData());
    if (!m_reader->Read())
        return ImportRefusal{
            QStringLiteral("%1 cannot be read: it is damaged or not a DICOM image.").arg(name(slice.path))};
    const gdcm::Image& image = m_reader->GetImage();
    const gdcm::PixelFormat& format = image.GetPixelFormat();
    if (format.GetSamplesPerPixel() != 1)
        return ImportRefusal{
            QStringLiteral("%1 holds colour pixels; only grey images can be shown.").arg(name(slice.path))};
    const std::uint32_t depth = image.GetNumberOfDimensions() > 2 ? image.GetDimension(2) : 1;
    if (image.GetColumns() != width || image.GetRows() != height || depth != frames)
        return ImportRefusal{
            QStringLiteral("%1 decodes to %2 x %3 x %4 voxels, its header says %5 x %6 x %7.")
                .arg(name(slice.path))
                .arg(image.GetColumns())
                .arg(image.GetRows())
                .arg(depth)
                .arg(width)
                .arg(height)
                .arg(frames)};
    // GDCM sizes pixels in whole bytes and asserts that they are.
    if (format.GetBitsAllocated() % 8 != 0)
        return ImportRefusal{
            QStringLiteral("%1 stores its samples in %2 bits; whole bytes of 8, 16 or 32 bits "
                           "can be shown.")
                .arg(name(slice.path))
                .arg(format.GetBitsAllocated())};
    const std::size_t expected = std::size_t{width} * height * frames * format.GetPixelSize();
    if (const std::uint64_t missing = missingBytes(slice.path); missing > kLengthSlack)
        return ImportRefusal{QStringLiteral("%1: its pixel data is cut short (the file ends %2 bytes early).")
                                 .arg(name(slice.path))
                                 .arg(missing)};
    if (!isStoredType(format.GetScalarType()))
        return ImportRefusal{QStringLiteral("%1 stores %2 samples, which cannot be shown.")
                                 .arg(name(slice.path), QString::fromLatin1(format.GetScalarTypeAsString()))};
    if (image.GetBufferLength() != expected)
        return ImportRefusal{QStringLiteral("%1: its pixel data (%2) cannot be decoded.")
                                 .arg(name(slice.path), transferSyntax())};
    m_bytes.resize(expected);
    if (!image.GetBuffer(m_bytes.data()))
        return ImportRefusal{QStringLiteral("%1: its pixel data (%2) cannot be decoded.")
                                 .arg(name(slice.path), transferSyntax())};
    return std::nullopt;
}

// GDCM accepts a file that ends inside its pixel data ("incomplete pixel data") and
// leaves the missing pixels at 0: a slice that would look plausible but be wrong. The
// encoded length of everything it parsed says how long the file should be.
std::uint64_t DicomSliceDecoder::missingBytes(const QString& path) const {
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

QString DicomSliceDecoder::transferSyntax() const {
    return QString::fromLatin1(gdcm::TransferSyntax::GetTSString(image().GetTransferSyntax())).trimmed();
}
