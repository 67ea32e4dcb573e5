#include "volume/nifti/NiftiHeaderCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nifti2_io.h>

namespace {

// sizeof_hdr, the first 32-bit number, tells the version and the byte order.
constexpr qint32 kNifti1HeaderSize = 348;
constexpr qint32 kNifti2HeaderSize = 540;
// Where dim[0] lies: a 16-bit number in NIfTI-1, a 64-bit one in NIfTI-2.
constexpr std::size_t kNifti1RankAt = 40;
constexpr std::size_t kNifti2RankAt = 16;

struct MallocFree {
    void operator()(char* text) const { std::free(text); }
};

template <typename T> T number(const char* bytes, bool swapped) {
    return swapped ? qFromBigEndian<T>(bytes) : qFromLittleEndian<T>(bytes);
}

} // namespace

std::optional<ImportRefusal> NiftiHeaderCheck::check(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const QByteArray native = QFile::encodeName(path);
    const std::unique_ptr<char, MallocFree> header(nifti_findhdrname(native.constData()));
    if (!header)
        return ImportRefusal{QStringLiteral("%1 has no NIfTI header file beside it.").arg(name)};
    znzFile file = znzopen(header.get(), "rb", nifti_is_gzfile(header.get()));
    if (znz_isnull(file))
        return ImportRefusal{QStringLiteral("The NIfTI header of %1 cannot be opened.").arg(name)};
    char bytes[kNifti2HeaderSize] = {};
    const std::size_t read = znzread(bytes, 1, sizeof bytes, file);
    Xznzclose(&file);

    // The header is in the byte order in which its sizeof_hdr reads right.
    const bool swapped = qFromLittleEndian<qint32>(bytes) != kNifti1HeaderSize &&
                         qFromLittleEndian<qint32>(bytes) != kNifti2HeaderSize;
    const auto size = number<qint32>(bytes, swapped);
    if ((size != kNifti1HeaderSize && size != kNifti2HeaderSize) || read < std::size_t(size))
        return std::nullopt;
    const std::int64_t rank = size == kNifti1HeaderSize ? number<qint16>(bytes + kNifti1RankAt, swapped)
                                                        : number<qint64>(bytes + kNifti2RankAt, swapped);
    if (rank < 1 || rank > kMaxDimensions)
        return ImportRefusal{QStringLiteral("%1 has a header of %2 dimensions; NIfTI allows 1 to %3.")
                                 .arg(name)
                                 .arg(rank)
                                 .arg(kMaxDimensions)};
    return std::nullopt;
}
