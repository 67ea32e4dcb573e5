#pragma once

#include "volume/core/Bundle.h"
#include "volume/core/ByteBuffer.h"

#include <QString>
#include <cstdint>
#include <memory>

// The in-memory volume: voxel counts, voxel spacing and the voxel buffers.
// Immutable once an initializer has returned, so any thread may read it.
//
// `data` holds unsigned 16-bit little-endian samples, x fastest, then y, then z,
// for initWithBundle/init16U, and four classified bytes per voxel for the two
// initWithFileAtLocation initializers.
class VolumeData {
  public:
    // Where initWithBundle finds the built-in sample in the bundle.
    static constexpr const char* kSampleResourceName = "512x512x463-16U";
    static constexpr const char* kSampleResourceExtension = "raw";

    // The built-in 512 x 512 x 463 sample ("512x512x463-16U.raw"). A missing or short
    // resource leaves `data` null but keeps the dimensions and spacing: callers must
    // check data().size() before they upload.
    static std::unique_ptr<VolumeData> initWithBundle(const Bundle& bundle = Bundle::mainBundle());
    static std::unique_ptr<VolumeData> init16U(const Bundle& bundle = Bundle::mainBundle());
    // The 256 x 256 x 113 sample into data2, and its low bytes into data2flip.
    static std::unique_ptr<VolumeData> init2(const Bundle& bundle = Bundle::mainBundle());
    // A 64 x 64 x 93 volume classified into four bytes per voxel. Null when the file
    // cannot be read ("Could not open File:<reason>" in the log).
    static std::unique_ptr<VolumeData> initWithFileAtLocation(const QString& path);
    // The big-endian CThead slices classified into four bytes per voxel; also writes the
    // assembled raw slices to "test16.raw" in the home folder. The argument is not used.
    static std::unique_ptr<VolumeData> initWithFileAtLocation2(const QString& path,
                                                               const Bundle& bundle = Bundle::mainBundle());

    float cellspaceX() const { return m_cellspaceX; }
    float cellspaceY() const { return m_cellspaceY; }
    float cellspaceZ() const { return m_cellspaceZ; }
    std::uint64_t width() const { return m_width; }
    std::uint64_t height() const { return m_height; }
    std::uint64_t depth() const { return m_depth; }
    const ByteBuffer& data() const { return m_data; }
    // The file `data` maps (the built-in sample's resource); empty for samples in memory.
    const QString& dataPath() const { return m_dataPath; }
    const ByteBuffer& data2() const { return m_data2; }
    const ByteBuffer& data2flip() const { return m_data2flip; }
    const std::uint16_t* pix16() const { return m_pix16; }

  private:
    VolumeData() = default;

    float m_cellspaceX = 0.0f;
    float m_cellspaceY = 0.0f;
    float m_cellspaceZ = 0.0f;
    std::uint64_t m_width = 0;
    std::uint64_t m_height = 0;
    std::uint64_t m_depth = 0;
    ByteBuffer m_data;
    QString m_dataPath;
    ByteBuffer m_data2;
    ByteBuffer m_data2flip;
    const std::uint16_t* m_pix16 = nullptr;
};
