#pragma once

#include "render/slice/SliceImage.h"

#include <QString>
#include <variant>
#include <vector>

class SlabFold;
class VolumeSource;

// Reads one slice, or a slab of them, of a volume from its source: the texels of level 0, or
// of a coarse level the source holds, the picture's pixels lie on, nearest, never blended. Reads whole rows,
// in spans the source reads at once, where the slice runs along the file's rows; across them (sagittal
// slices) the slab's texels of each row at once. Safe on any thread the source may be read from.
class SliceSampler {
  public:
    // The slab's first slice and how many there are, inside the volume.
    static std::pair<std::uint64_t, std::uint64_t> slabRange(const SliceRequest& request,
                                                             std::uint64_t slices);
    // Slices a slab of `millimetres` spans where they lie `spacing` apart: at least one.
    static std::uint64_t slabSlices(double millimetres, double spacing);

    // The picture, or why the source could not give it.
    static std::variant<SliceImage, QString> sample(const VolumeSource& source, const VolumeExtent& extent,
                                                    const SliceRequest& request);

    // Sagittal slices `first` … `first + count − 1` (those inside the volume), each as
    // sample() reads it alone, for about the cost of one: the texels of neighbouring slices
    // lie side by side in every row the source reads.
    static std::variant<std::vector<SliceImage>, QString> sampleSagittalBlock(const VolumeSource& source,
                                                                              const VolumeExtent& extent,
                                                                              std::uint64_t first,
                                                                              std::uint64_t count);

  private:
    // The `count` slices from `first` on of level `level`, folded into `fold` in picture order.
    static bool readSlab(const VolumeSource& source, std::uint32_t level, const SliceGeometry& geometry,
                         std::uint64_t first, std::uint64_t count, SlabFold& fold);
};
