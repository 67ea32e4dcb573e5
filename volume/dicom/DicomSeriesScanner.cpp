#include "volume/dicom/DicomSeriesScanner.h"

#include "volume/dicom/DecimalStrings.h"
#include "volume/dicom/DicomFileCheck.h"
#include "volume/files/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <gdcmScanner.h>
#include <gdcmTrace.h>
#include <limits>
#include <map>
#include <utility>

namespace {

constexpr qint64 kPreambleBytes = 128;
constexpr char kMagic[] = "DICM";
constexpr qint64 kMagicBytes = sizeof kMagic - 1;
// Files scanned between two looks at a cancel.
constexpr std::size_t kScanBatch = 64;

const gdcm::Tag kSeriesUid(0x0020, 0x000e);
const gdcm::Tag kFrameOfReference(0x0020, 0x0052);
const gdcm::Tag kSeriesDescription(0x0008, 0x103e);
const gdcm::Tag kModality(0x0008, 0x0060);
const gdcm::Tag kRows(0x0028, 0x0010);
const gdcm::Tag kColumns(0x0028, 0x0011);
const gdcm::Tag kFrames(0x0028, 0x0008);
const gdcm::Tag kImagePosition(0x0020, 0x0032);
const gdcm::Tag kImageOrientation(0x0020, 0x0037);
const gdcm::Tag kPixelSpacing(0x0028, 0x0030);
const gdcm::Tag kRescaleIntercept(0x0028, 0x1052);
const gdcm::Tag kRescaleSlope(0x0028, 0x1053);
const gdcm::Tag kRescaleType(0x0028, 0x1054);
const gdcm::Tag kBitsAllocated(0x0028, 0x0100);
const gdcm::Tag kPixelRepresentation(0x0028, 0x0103);
const gdcm::Tag kWindowCenter(0x0028, 0x1050);
const gdcm::Tag kWindowWidth(0x0028, 0x1051);

class TagValues {
  public:
    TagValues(const gdcm::Scanner& scanner, const std::string& file) : m_scanner(scanner), m_file(file) {}

    // The value as text without DICOM's padding; empty when the file lacks it.
    QString text(const gdcm::Tag& tag) const {
        const char* value = m_scanner.GetValue(m_file.c_str(), tag);
        return value ? QString::fromLatin1(value).trimmed() : QString();
    }

    // The numbers of a multi-valued element ("0.5\0.5"); nothing unless it holds
    // exactly N valid ones.
    template <std::size_t N> std::optional<std::array<double, N>> numbers(const gdcm::Tag& tag) const {
        return decimalStrings<N>(text(tag));
    }

    // The first of a possibly multi-valued number, or the fallback.
    double first(const gdcm::Tag& tag, double fallback) const {
        bool ok = false;
        const double value = text(tag).section(QLatin1Char('\\'), 0, 0).trimmed().toDouble(&ok);
        return ok ? value : fallback;
    }

    // A count (Rows, Columns, Number of Frames, Bits Allocated): the fallback unless the
    // value is a whole number in range. "nan", "inf" and negative values read as numbers.
    std::uint32_t count(const gdcm::Tag& tag, std::uint32_t fallback) const {
        const double value = first(tag, fallback);
        if (!(value >= 0.0 && value <= std::numeric_limits<std::uint32_t>::max()) ||
            value != std::floor(value))
            return fallback;
        return static_cast<std::uint32_t>(value);
    }

  private:
    const gdcm::Scanner& m_scanner;
    const std::string& m_file;
};

DicomSlice sliceOf(const TagValues& values, const QString& path) {
    DicomSlice slice;
    slice.path = path;
    slice.columns = values.count(kColumns, 0);
    slice.rows = values.count(kRows, 0);
    slice.frames = std::max(values.count(kFrames, 1), std::uint32_t{1});
    slice.position = values.numbers<3>(kImagePosition);
    slice.orientation = values.numbers<6>(kImageOrientation);
    if (!values.text(kPixelSpacing).isEmpty()) {
        constexpr double kUnreadable = std::numeric_limits<double>::quiet_NaN();
        slice.pixelSpacing = values.numbers<2>(kPixelSpacing).value_or(std::array{kUnreadable, kUnreadable});
    }
    slice.slope = values.first(kRescaleSlope, 1.0);
    slice.intercept = values.first(kRescaleIntercept, 0.0);
    slice.bitsAllocated = values.count(kBitsAllocated, 0);
    slice.signedSamples = values.first(kPixelRepresentation, 0) == 1.0;
    return slice;
}

DicomSeries seriesOf(const TagValues& values) {
    DicomSeries series;
    series.uid = values.text(kSeriesUid);
    series.frameOfReference = values.text(kFrameOfReference);
    series.description = values.text(kSeriesDescription);
    series.modality = values.text(kModality);
    series.rescaleType = values.text(kRescaleType);
    const double center = values.first(kWindowCenter, 0.0);
    const double width = values.first(kWindowWidth, 0.0);
    if (std::isfinite(center) && std::isfinite(width) && width > 0.0)
        series.window = std::array<double, 2>{center, width};
    return series;
}

} // namespace

bool DicomSeriesScanner::isDicom(const QString& path) {
    if (QFileInfo(path).isDir())
        return true;
    const QByteArray start = RegularFile::sniff(path, kPreambleBytes + kMagicBytes);
    return start.size() == kPreambleBytes + kMagicBytes && start.endsWith(kMagic);
}

ImportResult<std::vector<DicomSeries>> DicomSeriesScanner::scan(const QString& path,
                                                                const ImportProgress& progress) {
    // GDCM writes its warnings ("incomplete pixel data") to stderr; our refusals say what
    // matters. Every read of a series follows a scan, so silencing it here, once, covers both.
    static const bool silenced = [] {
        gdcm::Trace::WarningOff();
        gdcm::Trace::ErrorOff();
        gdcm::Trace::DebugOff();
        return true;
    }();
    static_cast<void>(silenced);
    const QFileInfo picked(path);
    if (!picked.isDir()) {
        const ImportResult<std::uint64_t> checked = RegularFile::sizeOf(path);
        if (const auto* refusal = std::get_if<ImportRefusal>(&checked))
            return *refusal;
    }
    const QDir folder = picked.isDir() ? QDir(picked.absoluteFilePath()) : picked.absoluteDir();

    // GDCM opens what it is given: pipes, devices, links to them and empty files never
    // reach it, nor any file whose structure was not walked first. One damaged file
    // refuses the scan (it may be a slice of the series); other files are passed over.
    gdcm::Directory::FilenamesType files;
    for (const QFileInfo& entry : folder.entryInfoList(QDir::Files, QDir::Name)) {
        const ImportResult<std::uint64_t> size = RegularFile::sizeOf(entry.absoluteFilePath());
        if (!std::holds_alternative<std::uint64_t>(size) || std::get<std::uint64_t>(size) == 0)
            continue;
        const DicomFileCheck::Result checked = DicomFileCheck::check(entry.absoluteFilePath());
        if (checked.verdict == DicomFileCheck::Verdict::Damaged ||
            (checked.verdict == DicomFileCheck::Verdict::Foreign && entry == picked))
            return ImportRefusal{checked.reason};
        if (checked.verdict == DicomFileCheck::Verdict::Sound)
            files.push_back(QFile::encodeName(entry.absoluteFilePath()).toStdString());
    }

    gdcm::Scanner scanner;
    for (const gdcm::Tag& tag :
         {kSeriesUid, kFrameOfReference, kSeriesDescription, kModality, kRows, kColumns, kFrames,
          kImagePosition, kImageOrientation, kPixelSpacing, kRescaleIntercept, kRescaleSlope, kRescaleType,
          kBitsAllocated, kPixelRepresentation, kWindowCenter, kWindowWidth})
        scanner.AddTag(tag);

    // A file names its series by the pair of Series Instance UID and Frame of Reference UID.
    std::map<std::pair<QString, QString>, DicomSeries> byKey;
    std::pair<QString, QString> pickedKey;
    // Scanned a batch at a time, so that a cancel is heard in a folder of thousands.
    for (std::size_t first = 0; first < files.size(); first += kScanBatch) {
        if (progress.stopRequested())
            return cancelledImport();
        const gdcm::Directory::FilenamesType batch(
            files.begin() + static_cast<std::ptrdiff_t>(first),
            files.begin() + static_cast<std::ptrdiff_t>(std::min(first + kScanBatch, files.size())));
        scanner.Scan(batch);
        for (const std::string& file : batch) {
            if (!scanner.IsKey(file.c_str()))
                continue;
            const TagValues values(scanner, file);
            const QString filePath = QFile::decodeName(QByteArray::fromStdString(file));
            const std::pair key{values.text(kSeriesUid), values.text(kFrameOfReference)};
            if (filePath == picked.absoluteFilePath())
                pickedKey = key;
            if (key.first.isEmpty() || values.text(kRows).isEmpty())
                continue; // not an image: a DICOMDIR, a report, a presentation state
            auto [entry, added] = byKey.try_emplace(key);
            if (added)
                entry->second = seriesOf(values);
            entry->second.slices.push_back(sliceOf(values, filePath));
        }
        progress.report(static_cast<double>(first + batch.size()) / static_cast<double>(files.size()));
    }

    if (!picked.isDir()) {
        const auto found = byKey.find(pickedKey);
        if (pickedKey.first.isEmpty() || found == byKey.end())
            return ImportRefusal{
                QStringLiteral("%1 is not a DICOM image that can be read.").arg(picked.fileName())};
        return std::vector<DicomSeries>{std::move(found->second)};
    }
    if (byKey.empty())
        return ImportRefusal{QStringLiteral("The folder %1 holds no DICOM images.").arg(picked.fileName())};
    std::vector<DicomSeries> series;
    for (auto& [key, entry] : byKey)
        series.push_back(std::move(entry));
    std::stable_sort(series.begin(), series.end(), [](const DicomSeries& a, const DicomSeries& b) {
        return a.description.localeAwareCompare(b.description) < 0;
    });
    return series;
}
