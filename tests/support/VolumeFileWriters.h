#pragma once

// Small volume files for tests, written with each format's own library: NIfTI with
// nifticlib's writer, TIFF with libtiff's, bzip2 streams with libbz2.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

struct NiftiFile {
    std::array<std::int64_t, 5> dims{3, 4, 3, 2, 1}; // rank, then x, y, z, t
    int datatype = 0;                                // NIfTI's DT_ code
    QByteArray samples;                              // host byte order, x fastest
    std::array<double, 3> pixdim{1.0, 1.0, 1.0};
    double slope = 0.0;
    double intercept = 0.0;
    bool nifti2 = false;
};
// Writes `file` at `path`: ".nii", ".nii.gz" or ".hdr" (with its ".img").
void writeNifti(const QString& path, const NiftiFile& file);

struct TiffPage {
    std::uint32_t width = 4;
    std::uint32_t height = 3;
    std::uint16_t bitsPerSample = 16;
    std::uint16_t sampleFormat = 1; // SAMPLEFORMAT_UINT
    std::uint16_t samplesPerPixel = 1;
    QByteArray samples; // host byte order
};
// Writes the pages into one TIFF file; `description` goes into the first page's
// ImageDescription, `pixelsPerUnit` (0: none) into its resolution tags, with the unit
// centimetre (which ImageJ's own unit in the description overrides).
void writeTiff(const QString& path, const std::vector<TiffPage>& pages, const QByteArray& description = {},
               float pixelsPerUnit = 0.0f);

QByteArray bzipped(const QByteArray& bytes);

// Samples of a type as bytes in host order.
template <typename T> QByteArray bytesOf(const std::vector<T>& values) {
    return QByteArray(reinterpret_cast<const char*>(values.data()),
                      static_cast<qsizetype>(values.size() * sizeof(T)));
}
