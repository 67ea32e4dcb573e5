#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A voxel grid laid over the phantom: counts along x, y, z and the voxel spacing
// in millimetres. The grid is centred on the head.
struct SampleGrid {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t depth = 0;
    float spacingX = 1.0f;
    float spacingY = 1.0f;
    float spacingZ = 1.0f;

    std::size_t sliceSamples() const { return width * height; }
    std::size_t samples() const { return width * height * depth; }
};

// A deterministic CT-like head phantom in CT units + 1024 (air 0, fat 930, soft
// tissue 1040-1080, brain 1060, CSF and ventricles 1030, bone 1500-2500): skin,
// subcutaneous fat, muscle, a skull with cortical tables and diploe, CSF, grey and
// white matter, lateral and third ventricles, eyes in their orbits, a mandible, the
// cervical spine with its discs and the airway. x runs left to right (150 mm), y
// front to back (190 mm), z from the neck up to the crown (215 mm of head).
//
// Boundaries are anti-aliased over about one voxel from signed distances, and a
// little noise hashed from the voxel's indices keeps the result identical on every
// run and every number of threads.
class HeadPhantom {
  public:
    explicit HeadPhantom(const SampleGrid& grid);

    // Writes slice z (width x height samples, x fastest) into out.
    void renderSlice(std::size_t z, std::span<std::uint16_t> out) const;

  private:
    SampleGrid m_grid;
    float m_edgeWidth; // mm over which a boundary is blended
};
