#pragma once

#include "volume/core/VolumeData.h"
#include "volume/core/VolumeRecord.h"

#include <cstdint>
#include <functional>
#include <memory>

// Volumes the renderer's tests import: built from a function of the voxel indices,
// 16-bit samples packed x fastest as the importer delivers them.
namespace testvolumes {

using SampleFunction = std::function<std::uint16_t(std::uint32_t x, std::uint32_t y, std::uint32_t z)>;

VolumeRecord record(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                    const SampleFunction& sample, float spacing = 1.0f);

// A ball of `inside` in the middle of a cube of `outside`, radius 0.35 of the side.
VolumeRecord sphere(std::uint32_t size, std::uint16_t inside, std::uint16_t outside = 0);

// The head phantom on a 64 x 64 x 58 cut of the built-in sample's field, as an import of
// signed CT values arrives: stored +32768, with the sample offset that undoes it.
VolumeRecord headPhantom();

// The built-in sample's record (512 x 512 x 463 voxels, spacing 0.625, 0.625, 1) without
// its voxels, as a bundle that lacks the resource gives it: the renderer makes no texture.
std::shared_ptr<const VolumeData> sampleWithoutVoxels();

// The built-in sample's record with voxels: every sample 0, from a sparse file of the
// right length, so it costs neither disk nor time.
std::shared_ptr<const VolumeData> sampleOfZeros();

} // namespace testvolumes
