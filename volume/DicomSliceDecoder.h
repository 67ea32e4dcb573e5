#pragma once

#include "DicomSeries.h"
#include "NrrdRefusal.h"

#include <QString>
#include <cstdint>
#include <gdcmImageReader.h>
#include <memory>
#include <optional>
#include <vector>

// Reads and decodes one DICOM file through GDCM and hands its stored samples over as
// integers, whatever their type (8, 16 or 32 bits, signed or not). A file that cannot
// be shown correctly (damaged, cut short, colour, not the size its header gave) is
// refused with a reason that names it.
class DicomSliceDecoder {
  public:
    std::optional<NrrdRefusal> decode(const DicomSlice& slice, std::uint32_t width, std::uint32_t height,
                                      std::uint32_t frames);

    // The file last decoded: its geometry, rescale, pixel format and transfer syntax.
    const gdcm::Image& image() const { return m_reader->GetImage(); }
    const std::vector<std::int64_t>& stored() const { return m_stored; }
    QString transferSyntax() const;

  private:
    std::uint64_t missingBytes(const QString& path) const;

    std::unique_ptr<gdcm::ImageReader> m_reader;
    std::vector<char> m_bytes;
    std::vector<std::int64_t> m_stored;
};
