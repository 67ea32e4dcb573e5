// Writes invented bytes as a NIfTI file and imports it as the window does: the format is
// told by the file's first bytes, nifticlib reads the header and the samples, and our
// checks after it (dimensions, sample type, pixdim and units, scl_slope and scl_inter,
// cal_min and cal_max) must turn any file into a volume of exactly the promised size with
// a usable spacing, value map and window, or a refusal; never a crash, an overflow or a
// read out of bounds.
//
// The input's first byte chooses the layout, the rest is the file: a ".nii", the same
// gzipped as a ".nii.gz" (so that nifticlib reads the header from a gzip stream), or a
// ".hdr" of the header's size plus up to 1008 bytes of extensions with the rest in its
// ".img".

#include "ImportPromises.h"
#include "VolumeFileWriters.h"
#include "volume/core/VolumeFile.h"
#include "volume/nifti/NiftiVolumeReader.h"

#include <QtEndian>
#include <QtGlobal>
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

enum Layout : std::uint8_t { kSingle, kGzipped, kPair, kLayouts };
// A NIfTI-2 header is 540 bytes, NIfTI-1 and Analyze ones 348; the first 4 bytes say which.
constexpr qint32 kNifti2HeaderSize = 540;
constexpr std::size_t kNifti1HeaderBytes = 348;
constexpr std::size_t kNifti2HeaderBytes = 540;
// The layout byte's upper bits give the extension bytes of a pair's header, in 16s.
constexpr std::size_t kExtensionStep = 16;

// Writes the input's file (or pair of files) and returns the path to import.
QString writeLayout(const TestFolder& folder, const std::uint8_t* data, std::size_t size) {
    const auto layout = static_cast<Layout>(data[0] % kLayouts);
    const std::size_t extension = (data[0] / kLayouts) * kExtensionStep;
    ++data;
    --size;
    if (layout == kSingle)
        return folder.write(QStringLiteral("volume.nii"), data, size);
    if (layout == kGzipped)
        return folder.write(
            QStringLiteral("volume.nii.gz"),
            gzipped(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))));
    const bool nifti2 = size >= 4 && (qFromLittleEndian<qint32>(data) == kNifti2HeaderSize ||
                                      qFromBigEndian<qint32>(data) == kNifti2HeaderSize);
    const std::size_t header = std::min(size, (nifti2 ? kNifti2HeaderBytes : kNifti1HeaderBytes) + extension);
    folder.write(QStringLiteral("volume.img"), data + header, size - header);
    return folder.write(QStringLiteral("volume.hdr"), data, header);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static const TestFolder folder;
    folder.clear();
    const QString path = writeLayout(folder, data, size);
    // Files that start like another format go to that format's reader.
    if (VolumeFile::detect(path) != VolumeFormat::Nifti)
        return 0;

    checkImport(NiftiVolumeReader::read(path, fuzzReadOptions()));
    return 0;
}
