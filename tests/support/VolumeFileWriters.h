#pragma once

// Small volume files for tests, written with each format's own library: NIfTI with
// nifticlib's writer, TIFF with libtiff's, gzip streams with zlib, bzip2 with libbz2.

#include "volume/core/ByteBuffer.h"
#include "volume/core/VolumeRecord.h"
#include "volume/nrrd/NrrdVolumeReader.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <array>
#include <cstdint>
#include <vector>

// The header of a 3-D NRRD volume; `extra` lines follow the basic fields.
QByteArray nrrdHeader(const QString& type, std::array<int, 3> sizes, const QString& encoding,
                      const QString& extra = {});

// Writes the bytes to `path` (throws when it cannot) and returns the path.
QString writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

// A temporary folder, removed with the object, to write test files into.
class TestFolder {
  public:
    QString write(const QString& name, const QByteArray& bytes) const { return writeFile(path(name), bytes); }
    QString write(const QString& name, const std::uint8_t* data, std::size_t size) const {
        return write(name, QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // Removes every file written so far: a fuzz target reads each input alone.
    void clear() const;
    const QTemporaryDir& dir() const { return m_dir; }

  private:
    QTemporaryDir m_dir;
};

struct NiftiFile {
    std::array<std::int64_t, 5> dims{3, 4, 3, 2, 1}; // rank, then x, y, z, t
    int datatype = 0;                                // NIfTI's DT_ code
    QByteArray samples;                              // host byte order, x fastest
    std::array<double, 3> pixdim{1.0, 1.0, 1.0};
    double slope = 0.0;
    double intercept = 0.0;
    bool nifti2 = false;
    double calMin = 0.0; // the display range, none where both are 0
    double calMax = 0.0;
    // Voxel-to-RAS+ affines (the top three rows) and their codes, 0 for none; the qform is
    // written as nifticlib writes it, a rotation and a flip.
    int sformCode = 0;
    std::array<std::array<double, 4>, 3> sform{};
    int qformCode = 0;
    std::array<std::array<double, 4>, 3> qform{};
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

// Writes a Zarr store into `folder` with write_zarr_store.py and Debian's python3-zarr; the
// options (JSON) and the samples it writes are described there. Throws when it fails.
void writeZarrStore(const QString& folder, const QByteArray& options);
// Runs Debian's python3 (not whatever python3 comes first on the path) on `script`.
QByteArray runPython(const QStringList& arguments);

// A gzip stream (with gzip header and trailer) of the bytes, as NRRD writers produce it.
QByteArray gzipped(const QByteArray& bytes);
QByteArray bzipped(const QByteArray& bytes);

enum class ByteOrder { Little, Big };
// Samples written as 8- or 16-bit integers in the given byte order.
QByteArray sampleBytes(const std::vector<int>& samples, int bytesPerSample,
                       ByteOrder order = ByteOrder::Little);
// The samples of a record as the viewer interprets them: texel + sampleOffset (read row by
// row from its source when it has no texels in memory; a row that fails throws).
std::vector<int> samplesOf(const VolumeRecord& volume);
// The file's values as the viewer shows them: (texel + sampleOffset) * valueScale + valueOffset.
std::vector<double> valuesOf(const VolumeRecord& volume);
// The reason of a refusal; empty when the step (a read, a scan) succeeded.
template <typename T> std::string reasonOf(const ImportResult<T>& result) {
    const auto* refusal = std::get_if<ImportRefusal>(&result);
    return refusal ? refusal->reason.toStdString() : std::string();
}
// The record of a read that must succeed; where it was refused, an exception that gives
// the reason, which fails the test that read it. (Plain C++: the fuzz targets build these
// writers without a test framework.)
VolumeRecord volumeOf(const ImportResult<VolumeRecord>& result);
// The NRRD file read as an import reads it: opened, then its data read.
ImportResult<VolumeRecord> readNrrd(const QString& headerPath,
                                    const NrrdDataChoice& choice = NrrdDataChoice::fromHeader(),
                                    const ImportOptions& options = {}, const ImportProgress& progress = {});
// The samples as decimal text, separated by `separator`.
QString asciiText(const std::vector<int>& samples, const QString& separator);
// 0, 1, ... count-1 shifted by `first`: a ramp whose every sample differs.
std::vector<int> ramp(int count, int first = 0);

// Samples of a type as bytes in host order.
template <typename T> QByteArray bytesOf(const std::vector<T>& values) {
    return QByteArray(reinterpret_cast<const char*>(values.data()),
                      static_cast<qsizetype>(values.size() * sizeof(T)));
}
inline QByteArray bytesOf(const ByteBuffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(buffer.size()));
}
