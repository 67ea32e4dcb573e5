#pragma once

#include "volume/core/ImportRefusal.h"
#include "volume/core/VolumeSource.h"
#include "volume/files/OpenFileCache.h"
#include "volume/nrrd/NrrdLayout.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// Texels read in place from raw NRRD samples of 8 or 16 bits, a row at a time, for a
// volume too large to decode into memory or into one texture. Nothing is mapped or
// loaded whole: the files are read with positioned reads, which share no seek position, so
// any number of brick loaders may read at once, each file opened when a read needs it and
// only a few held open at a time (OpenFileCache), however many the volume is spread over.
// A read that fails names its file (unreadableFile). The samples may lie
// in one file or be split over several (each holding an equal share, in order), after
// a header (attached data) or alone, behind "line skip:" lines and "byte skip:" bytes
// or at the very end of their file ("byte skip: -1"), in either byte order. Texels come
// out exactly as the in-memory decoder makes them (SampleTexels).
class InPlaceVolumeSource final : public VolumeSource {
  public:
    // A file holding a share of the samples, and where its data section begins: after
    // the header for attached data, else 0.
    struct DataFile {
        QString path;
        std::uint64_t dataStart = 0;
    };

    // Whether samples of this layout can be read in place: raw, 8 or 16 bits. Wider and
    // floating-point samples need a pass over all of them for their range first.
    static bool canRead(const NrrdLayout& layout);

    // Opens the files, finds where the samples of each begin and checks that each file
    // holds its share; refused with the reason when one cannot be opened or is short.
    static ImportResult<std::shared_ptr<const InPlaceVolumeSource>>
    open(const std::vector<DataFile>& files, const NrrdLayout& layout, std::uint64_t width,
         std::uint64_t height, std::uint64_t depth);

    // Data files held open at once, far below the usual limit of 1,024 descriptors.
    static constexpr std::size_t kMostOpenFiles = 32;

    InPlaceVolumeSource(const InPlaceVolumeSource&) = delete;
    InPlaceVolumeSource& operator=(const InPlaceVolumeSource&) = delete;

    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override;
    // One read of the bytes from the first row's first sample to the last row's last, when
    // they lie in one file and are not many more than the rows themselves.
    bool readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count, std::uint64_t rows,
                  std::uint16_t* out) const override;
    QString unreadableFile() const override;

  private:
    struct Part {
        std::uint64_t samplesStart = 0; // file offset of its first sample
    };

    InPlaceVolumeSource(const NrrdLayout& layout, std::uint64_t width, std::uint64_t height,
                        std::uint64_t samplesPerFile);
    std::optional<ImportRefusal> addPart(const DataFile& file);
    // Reads `bytes` bytes at `offset` of part `part`; false, and the part noted as the one
    // that failed, when they cannot be read.
    bool readPart(std::size_t part, std::uint64_t offset, std::byte* into, std::uint64_t bytes) const;

    std::vector<Part> m_parts; // one per data file of m_files, in order
    NrrdLayout m_layout;
    std::uint64_t m_sampleBytes;
    std::uint64_t m_width;
    std::uint64_t m_height;
    std::uint64_t m_samplesPerFile;
    bool m_samplesAreTexels; // unsigned 16-bit in host order: read straight into the row
    mutable OpenFileCache m_files;
    mutable std::atomic<std::size_t> m_failedPart; // the part a read last failed in
};
