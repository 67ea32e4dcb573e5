#include "volume/nrrd/NrrdHeaderFile.h"

#include "volume/files/RegularFile.h"

#include <QByteArrayView>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <optional>

namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

struct HeaderExtent {
    std::size_t textLength = 0;
    std::optional<std::size_t> dataStart; // set when a blank line ends the header
};

// Finds the first blank line. Lines end at LF, CR LF or a lone CR. In a file whose
// lines end at a lone CR the blank line's CR is the last header byte even when the
// data happens to begin with an LF byte.
std::optional<HeaderExtent> findHeaderEnd(std::span<const std::byte> bytes) {
    const std::size_t limit =
        std::min(bytes.size(), static_cast<std::size_t>(NrrdHeaderFile::kMaxHeaderBytes));
    const auto at = [&](std::size_t i) { return static_cast<char>(bytes[i]); };
    std::optional<bool> loneCarriageReturns;
    std::size_t lineStart = 0;
    std::size_t i = 0;
    while (i < limit) {
        const char c = at(i);
        if (c != kLineFeed && c != kCarriageReturn) {
            ++i;
            continue;
        }
        const bool crLf = c == kCarriageReturn && i + 1 < bytes.size() && at(i + 1) == kLineFeed;
        if (!loneCarriageReturns)
            loneCarriageReturns = c == kCarriageReturn && !crLf;
        const std::size_t terminator = (crLf && !*loneCarriageReturns) ? 2 : 1;
        if (i == lineStart)
            return HeaderExtent{i, i + terminator};
        i += terminator;
        lineStart = i;
    }
    if (bytes.size() > limit)
        return std::nullopt;
    return HeaderExtent{bytes.size(), std::nullopt};
}

} // namespace

ImportResult<NrrdHeaderFile> NrrdHeaderFile::read(const QString& path) {
    // Pipes and devices would block or never end; headers are plain files.
    ImportResult<RegularFile> opened = RegularFile::open(path);
    if (const auto* refusal = std::get_if<ImportRefusal>(&opened))
        return ImportRefusal{QStringLiteral("The header file %1").arg(refusal->reason)};
    const RegularFile& file = std::get<RegularFile>(opened);
    // The header lies in the first kMaxHeaderBytes; one byte more tells whether the
    // file goes on. The rest, attached data, waits for the worker that decodes it.
    ImportResult<QByteArray> head = file.head(kMaxHeaderBytes + 1);
    if (const auto* refusal = std::get_if<ImportRefusal>(&head))
        return ImportRefusal{QStringLiteral("Cannot read the header file %1: %2.")
                                 .arg(QFileInfo(path).fileName(), refusal->reason)};
    const QByteArray& start = std::get<QByteArray>(head);
    const bool complete = static_cast<std::uint64_t>(start.size()) >= file.size();
    ImportResult<NrrdHeaderFile> parsed = fromBytes(ByteBuffer::fromByteArray(start), path);
    if (auto* headerFile = std::get_if<NrrdHeaderFile>(&parsed))
        headerFile->m_complete = complete;
    return parsed;
}

ImportResult<ByteBuffer> NrrdHeaderFile::readAttachedData(const ImportProgress& progress) const {
    if (!m_dataStart)
        return ByteBuffer();
    if (m_complete)
        return m_bytes.slice(*m_dataStart, m_bytes.size() - *m_dataStart);
    QString error;
    const ByteBuffer whole = ByteBuffer::readFile(m_path, &error, progress);
    if (whole.isNull() && progress.stopRequested())
        return cancelledImport();
    if (whole.isNull())
        return ImportRefusal{
            QStringLiteral("Cannot read the data of %1: %2.").arg(QFileInfo(m_path).fileName(), error)};
    if (whole.size() < m_bytes.size() ||
        !std::equal(m_bytes.bytes().begin(),
                    m_bytes.bytes().begin() + static_cast<std::ptrdiff_t>(*m_dataStart),
                    whole.bytes().begin()))
        return ImportRefusal{
            QStringLiteral("%1 changed while it was read.").arg(QFileInfo(m_path).fileName())};
    return whole.slice(*m_dataStart, whole.size() - *m_dataStart);
}

ImportResult<NrrdHeaderFile> NrrdHeaderFile::fromBytes(const ByteBuffer& bytes, const QString& path) {
    const QString name = QFileInfo(path).fileName();
    if (bytes.size() == 0)
        return ImportRefusal{QStringLiteral("The header file %1 is empty.").arg(name)};
    const std::optional<HeaderExtent> extent = findHeaderEnd(bytes.bytes());
    if (!extent)
        return ImportRefusal{
            QStringLiteral("%1 has no end of header in its first %2 bytes; it is not an NRRD header.")
                .arg(name)
                .arg(kMaxHeaderBytes)};

    // Stateless: a multi-byte sequence cut off at the end of the header is an error too.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QByteArrayView headerBytes(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<qsizetype>(extent->textLength));
    QString text = decoder.decode(headerBytes);
    if (decoder.hasError())
        return ImportRefusal{QStringLiteral("The header of %1 is not UTF-8 text.").arg(name)};

    NrrdHeaderFile file;
    file.m_path = path;
    file.m_text = std::move(text);
    file.m_bytes = bytes;
    file.m_dataStart = extent->dataStart;
    return file;
}
