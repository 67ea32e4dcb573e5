#include "VolumeFileWriters.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QtEndian>
#include <bzlib.h>
#include <cstring>
#include <nifti2_io.h>
#include <numeric>
#include <stdexcept>
#include <tiffio.h>
#include <tuple>
#include <zlib.h>

QByteArray nrrdHeader(const QString& type, std::array<int, 3> sizes, const QString& encoding,
                      const QString& extra) {
    return QStringLiteral("NRRD0004\ntype: %1\ndimension: 3\nsizes: %2 %3 %4\nencoding: %5\n%6")
        .arg(type, QString::number(sizes[0]), QString::number(sizes[1]), QString::number(sizes[2]), encoding,
             extra)
        .toUtf8();
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file " + path.toStdString());
    return path;
}

void TestFolder::clear() const {
    QDir folder(m_dir.path());
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden))
        folder.remove(name);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read test file " + path.toStdString());
    return file.readAll();
}

void writeNifti(const QString& path, const NiftiFile& file) {
    std::int64_t dims[8] = {file.dims[0], file.dims[1], file.dims[2], file.dims[3], file.dims[4], 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, file.datatype, 1);
    if (!image)
        throw std::runtime_error("nifti_make_new_nim failed");
    if (static_cast<std::size_t>(file.samples.size()) !=
        static_cast<std::size_t>(image->nvox) * image->nbyper)
        throw std::runtime_error("sample bytes do not match the NIfTI dimensions");
    std::memcpy(image->data, file.samples.constData(), static_cast<std::size_t>(file.samples.size()));
    std::tie(image->dx, image->dy, image->dz) = std::tuple(file.pixdim[0], file.pixdim[1], file.pixdim[2]);
    std::tie(image->scl_slope, image->scl_inter, image->cal_min, image->cal_max) =
        std::tuple(file.slope, file.intercept, file.calMin, file.calMax);
    image->xyz_units = NIFTI_UNITS_MM;
    const auto affine = [](const std::array<std::array<double, 4>, 3>& rows) {
        nifti_dmat44 matrix{.m = {{0}, {0}, {0}, {0, 0, 0, 1}}};
        std::memcpy(matrix.m, rows.data(), sizeof rows);
        return matrix;
    };
    image->sform_code = file.sformCode;
    image->sto_xyz = affine(file.sform);
    image->qform_code = file.qformCode;
    if (file.qformCode > 0) {
        double dx = 0, dy = 0, dz = 0;
        nifti_dmat44_to_quatern(affine(file.qform), &image->quatern_b, &image->quatern_c, &image->quatern_d,
                                &image->qoffset_x, &image->qoffset_y, &image->qoffset_z, &dx, &dy, &dz,
                                &image->qfac);
    }
    const bool pair = path.endsWith(QLatin1String(".hdr"), Qt::CaseInsensitive);
    image->nifti_type = file.nifti2 ? (pair ? NIFTI_FTYPE_NIFTI2_2 : NIFTI_FTYPE_NIFTI2_1)
                                    : (pair ? NIFTI_FTYPE_NIFTI1_2 : NIFTI_FTYPE_NIFTI1_1);
    if (nifti_set_filenames(image, QFile::encodeName(path).constData(), 0, 1) != 0) {
        nifti_image_free(image);
        throw std::runtime_error("nifti_set_filenames failed");
    }
    nifti_image_write(image);
    nifti_image_free(image);
}

void writeTiff(const QString& path, const std::vector<TiffPage>& pages, const QByteArray& description,
               float pixelsPerUnit) {
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        throw std::runtime_error("TIFFOpen failed");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const TiffPage& page = pages[i];
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bitsPerSample);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, page.sampleFormat);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samplesPerPixel);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     page.samplesPerPixel == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1u);
        if (i == 0 && !description.isEmpty())
            TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.constData());
        if (i == 0 && pixelsPerUnit > 0.0f) {
            TIFFSetField(tiff, TIFFTAG_XRESOLUTION, pixelsPerUnit);
            TIFFSetField(tiff, TIFFTAG_YRESOLUTION, pixelsPerUnit);
            TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        }
        QByteArray samples = page.samples; // libtiff may encode in the buffer it is given
        const std::size_t rowBytes = std::size_t{page.width} * page.samplesPerPixel * page.bitsPerSample / 8;
        for (std::uint32_t row = 0; row < page.height; ++row)
            if (TIFFWriteScanline(tiff, samples.data() + row * rowBytes, row, 0) < 0)
                throw std::runtime_error("TIFFWriteScanline failed");
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
}

QByteArray bzipped(const QByteArray& bytes) {
    constexpr int kBzipBlockSize = 9; // in units of 100 kB: the largest, the smallest output
    QByteArray out(bytes.size() + bytes.size() / 100 + 600, '\0');
    auto length = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(bytes.constData()),
                                 static_cast<unsigned>(bytes.size()), kBzipBlockSize, 0, 0) != BZ_OK)
        throw std::runtime_error("BZ2_bzBuffToBuffCompress failed");
    out.resize(length);
    return out;
}

QByteArray sampleBytes(const std::vector<int>& samples, int bytesPerSample, ByteOrder order) {
    QByteArray bytes;
    for (const int sample : samples) {
        const char low = static_cast<char>(sample), high = static_cast<char>(sample >> 8);
        if (bytesPerSample == 1)
            bytes += low;
        else
            bytes += order == ByteOrder::Big ? QByteArray(1, high) + low : QByteArray(1, low) + high;
    }
    return bytes;
}

QByteArray gzipped(const QByteArray& bytes) {
    // zlib's stream is a 2-byte header, the deflate data and an Adler-32; gzip wraps the
    // same deflate data in its own header and a trailer of the CRC-32 and the length.
    const auto* data = reinterpret_cast<const Bytef*>(bytes.constData());
    uLongf size = compressBound(uLong(bytes.size()));
    QByteArray stream(qsizetype(size), '\0');
    if (compress2(reinterpret_cast<Bytef*>(stream.data()), &size, data, uLong(bytes.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("compress2 failed");
    QByteArray trailer(8, '\0');
    qToLittleEndian(quint32(crc32(0, data, uInt(bytes.size()))), trailer.data());
    qToLittleEndian(quint32(bytes.size()), trailer.data() + 4);
    return QByteArray("\x1f\x8b\x08\0\0\0\0\0\x02\x03", 10) + stream.sliced(2, qsizetype(size) - 6) + trailer;
}

QByteArray runPython(const QStringList& arguments) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), arguments);
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        throw std::runtime_error("python3 failed: " + python.readAllStandardError().toStdString());
    return python.readAllStandardOutput();
}

void writeZarrStore(const QString& folder, const QByteArray& options) {
    runPython({QStringLiteral(VOXVIEW_ZARR_WRITER), folder, QString::fromUtf8(options)});
}

std::vector<int> samplesOf(const VolumeRecord& volume) {
    std::vector<int> samples;
    if (volume.data.isNull() && volume.source) {
        std::vector<std::uint16_t> row(volume.width);
        for (std::uint32_t z = 0; z < volume.depth; ++z)
            for (std::uint32_t y = 0; y < volume.height; ++y) {
                if (!volume.source->readRow(0, y, z, volume.width, row.data()))
                    throw std::runtime_error("row unreadable: " +
                                             volume.source->unreadableFile().toStdString());
                for (const std::uint16_t texel : row)
                    samples.push_back(texel + volume.sampleOffset);
            }
        return samples;
    }
    for (std::size_t i = 0; i < volume.data.size() / 2; ++i)
        samples.push_back(qFromUnaligned<std::uint16_t>(volume.data.data() + 2 * i) + volume.sampleOffset);
    return samples;
}

std::vector<double> valuesOf(const VolumeRecord& volume) {
    std::vector<double> values;
    for (const int sample : samplesOf(volume))
        values.push_back(sample * volume.valueScale + volume.valueOffset);
    return values;
}

std::vector<int> ramp(int count, int first) {
    std::vector<int> values(static_cast<std::size_t>(count));
    std::iota(values.begin(), values.end(), first);
    return values;
}

QString asciiText(const std::vector<int>& samples, const QString& separator) {
    QStringList numbers;
    for (const int sample : samples)
        numbers << QString::number(sample);
    return numbers.join(separator);
}

VolumeRecord volumeOf(const ImportResult<VolumeRecord>& result) {
    if (const auto* refusal = std::get_if<ImportRefusal>(&result))
        throw std::runtime_error("the read was refused: " + refusal->reason.toStdString());
    return std::get<VolumeRecord>(result);
}

ImportResult<VolumeRecord> readNrrd(const QString& headerPath, const NrrdDataChoice& choice,
                                    const ImportOptions& options, const ImportProgress& progress) {
    const ImportResult<NrrdVolumeReader> reader = NrrdVolumeReader::open(headerPath, options);
    if (const auto* refusal = std::get_if<ImportRefusal>(&reader))
        return *refusal;
    return std::get<NrrdVolumeReader>(reader).readVolume(choice, progress);
}
