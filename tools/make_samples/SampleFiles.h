#pragma once

#include "HeadPhantom.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

// The grids of the sample resources: the 512 head at 0.625 x 0.625 x 1.0 mm
// (320 x 320 x 463 mm), the 256 head and its CThead slices at 1 x 1 x 2 mm.
inline constexpr SampleGrid kLargeSampleGrid{512, 512, 463, 0.625f, 0.625f, 1.0f};
inline constexpr SampleGrid kSmallSampleGrid{256, 256, 113, 1.0f, 1.0f, 2.0f};

// A grid of the given counts over the field of view of the 512 sample, for small
// test volumes that still hold the whole head.
SampleGrid gridOverLargeSample(std::size_t width, std::size_t height, std::size_t depth);

// Called with each finished slice, in order; returning false stops the rendering.
using SliceSink = std::function<bool(std::span<const std::uint16_t> slice)>;

// Renders the phantom on the grid with `workers` threads (0: one per hardware
// thread) while the calling thread hands finished slices to `sink`, so that
// writing a file overlaps with computing it. The result does not depend on the
// number of workers.
std::vector<std::uint16_t> renderHeadVolume(const SampleGrid& grid, unsigned workers = 0,
                                            const SliceSink& sink = {});

// Renders the phantom into a little-endian file; the reason when it fails.
std::optional<QString> writeHeadVolume(const QString& path, const SampleGrid& grid,
                                       std::vector<std::uint16_t>* samples = nullptr);

// Writes one big-endian file per slice, named pathPrefix.1 ... pathPrefix.<depth>.
std::optional<QString> writeBigEndianSlices(const QString& pathPrefix, const SampleGrid& grid,
                                            std::span<const std::uint16_t> samples);

// Writes "512x512x463-16U.raw", "256x256x113-16.raw" and "CThead/CThead.1" ...
// "CThead/CThead.113" into the folder, creating it when needed.
std::optional<QString> writeSampleResources(const QString& folder);
