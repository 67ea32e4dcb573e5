#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/dicom/DicomSeries.h"

#include <QString>
#include <cstdint>
#include <cstring>
#include <gdcmImageReader.h>
#include <memory>
#include <optional>
#include <vector>

// Reads and decodes one DICOM file through GDCM and hands its stored samples over as
// integers, whatever their type (8, 16 or 32 bits, signed or not), one at a time from
// the decoded slice: no wider copy of the slice is made. A file that cannot be shown
// correctly (damaged, cut short, colour, not the size its header gave) is refused with a
// reason that names it.
//
// While it decodes, a decoder holds the file as GDCM read it and the slice decoded twice
// (the codec's output and the copy taken of it): decodingBytes() says how much.
class DicomSliceDecoder {
  public:
    std::optional<ImportRefusal> decode(const DicomSlice& slice, std::uint32_t width, std::uint32_t height,
                                        std::uint32_t frames);

    // The file last decoded: its geometry, rescale, pixel format and transfer syntax.
    const gdcm::Image& image() const { return m_reader->GetImage(); }
    // Its data set as GDCM parsed it, for what the image does not carry (the positions of
    // a multi-frame file's frames).
    const gdcm::DataSet& dataSet() const { return m_reader->GetFile().GetDataSet(); }
    QString transferSyntax() const;

    // Calls store(index, sample) for each stored sample of the slice last decoded, in
    // order, widened to a 64-bit integer.
    template <typename Store> void forEachStored(Store store) const;

    // What decoding a file of `fileBytes` into `sliceBytes` of samples holds at its peak.
    static std::uint64_t decodingBytes(std::uint64_t fileBytes, std::uint64_t sliceBytes) {
        return fileBytes + 2 * sliceBytes;
    }

  private:
    std::uint64_t missingBytes(const QString& path) const;
    template <typename T, typename Store> void forEach(Store store) const;

    std::unique_ptr<gdcm::ImageReader> m_reader;
    std::vector<char> m_bytes;
};

template <typename T, typename Store> void DicomSliceDecoder::forEach(Store store) const {
    const std::size_t count = m_bytes.size() / sizeof(T);
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, m_bytes.data() + i * sizeof(T), sizeof(T));
        store(i, std::int64_t{value});
    }
}

template <typename Store> void DicomSliceDecoder::forEachStored(Store store) const {
    switch (image().GetPixelFormat().GetScalarType()) {
    case gdcm::PixelFormat::UINT8:
        return forEach<std::uint8_t>(store);
    case gdcm::PixelFormat::INT8:
        return forEach<std::int8_t>(store);
    case gdcm::PixelFormat::UINT16:
        return forEach<std::uint16_t>(store);
    case gdcm::PixelFormat::INT16:
        return forEach<std::int16_t>(store);
    case gdcm::PixelFormat::UINT32:
        return forEach<std::uint32_t>(store);
    case gdcm::PixelFormat::INT32:
        return forEach<std::int32_t>(store);
    default: // refused by decode()
        return;
    }
}
