#include "render/slice/SliceSampler.h"

#include "volume/core/VolumeSize.h"
#include "volume/core/VolumeSource.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace {

// Runs `read(firstRow, endRow)` over the picture's rows split into parts, side by side: a
// sagittal slice takes one texel from every file row, so its cost is copying the volume's
// bytes through the page cache, which as many threads as the machine has share out. Each part
// writes only the pixels of its own rows. False when a part fails.
template <typename Read> bool readRowsSideBySide(std::uint64_t rows, const Read& read) {
    // Beyond a few threads the copy is bound by memory, not by cores.
    constexpr std::uint64_t kMostThreads = 8;
    const std::uint64_t threads = std::clamp<std::uint64_t>(std::thread::hardware_concurrency(), 1,
                                                            std::clamp<std::uint64_t>(rows, 1, kMostThreads));
    const std::uint64_t share = (rows + threads - 1) / threads;
    std::atomic<bool> readAll = true;
    {
        std::vector<std::jthread> parts;
        for (std::uint64_t first = share; first < rows; first += share) {
            parts.emplace_back([&, first] {
                if (!read(first, std::min(rows, first + share)))
                    readAll = false;
            });
        }
        if (!read(0, std::min(rows, share)))
            readAll = false;
    }
    return readAll;
}

} // namespace

std::pair<std::uint64_t, std::uint64_t> SliceSampler::slabRange(const SliceRequest& request,
                                                                std::uint64_t slices) {
    const std::uint64_t wanted = std::max<std::uint64_t>(request.slabSlices, 1);
    const std::uint64_t before = (wanted - 1) / 2;
    const std::uint64_t first = request.index > before ? request.index - before : 0;
    const std::uint64_t end = std::min(slices, request.index + (wanted - before));
    return {first, end > first ? end - first : 0};
}

std::uint64_t SliceSampler::slabSlices(double millimetres, double spacing) {
    if (!(millimetres > 0.0) || !(spacing > 0.0)) {
        return 1;
    }
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(millimetres / spacing)));
}

// Folds the slab's texels into each pixel: the largest, the smallest or the sum of them.
class SlabFold {
  public:
    SlabFold(SlabMode mode, std::uint64_t pixels)
        : m_mode(mode), m_values(pixels, mode == SlabMode::Minip ? UINT16_MAX : 0) {}

    void add(std::uint64_t pixel, std::uint16_t texel) {
        std::uint64_t& value = m_values[pixel];
        switch (m_mode) {
        case SlabMode::Mip:
            value = std::max<std::uint64_t>(value, texel);
            break;
        case SlabMode::Minip:
            value = std::min<std::uint64_t>(value, texel);
            break;
        case SlabMode::Average:
            value += texel;
            break;
        }
    }

    // The texels of `slices` slices folded; a mean rounded to the nearest texel.
    std::vector<std::uint16_t> texels(std::uint64_t slices) const {
        std::vector<std::uint16_t> out(m_values.size());
        const std::uint64_t divisor = m_mode == SlabMode::Average ? slices : 1;
        std::transform(m_values.begin(), m_values.end(), out.begin(), [divisor](std::uint64_t value) {
            return static_cast<std::uint16_t>((value + divisor / 2) / divisor);
        });
        return out;
    }

  private:
    SlabMode m_mode;
    std::vector<std::uint64_t> m_values;
};

bool SliceSampler::readSlab(const VolumeSource& source, std::uint32_t level, const SliceGeometry& geometry,
                            std::uint64_t first, std::uint64_t count, SlabFold& fold) {
    const auto readRows = [&](std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t length,
                              std::uint64_t lineCount, std::uint16_t* out) {
        return level == 0 ? source.readRows(x, y, z, length, lineCount, out)
                          : source.readLevelRows(level, x, y, z, length, lineCount, out);
    };
    const std::uint64_t columns = geometry.columns();
    const std::uint64_t rows = geometry.rows();
    const std::uint64_t width = geometry.extent()[0];
    std::vector<std::uint16_t> texels;
    switch (geometry.axis()) {
    case SliceAxis::Axial: {
        // Each slice of the slab apart, its rows one after the other in the file, read in spans.
        const std::uint64_t span =
            std::max<std::uint64_t>(1, VolumeSource::kSpanBytes / (width * kTexelBytes));
        texels.resize(span * width);
        for (std::uint64_t z = first; z < first + count; ++z) {
            for (std::uint64_t y = 0; y < rows; y += span) {
                const std::uint64_t lines = std::min(span, rows - y);
                if (!readRows(0, y, z, width, lines, texels.data())) {
                    return false;
                }
                for (std::uint64_t i = 0; i < lines * width; ++i) {
                    fold.add(y * width + i, texels[i]);
                }
            }
        }
        return true;
    }
    case SliceAxis::Coronal:
        // Per picture row, the slab's rows of one file slice at once; the top row the last slice.
        texels.resize(count * width);
        for (std::uint64_t row = 0; row < rows; ++row) {
            if (!readRows(0, first, rows - 1 - row, width, count, texels.data())) {
                return false;
            }
            for (std::uint64_t i = 0; i < count * width; ++i) {
                fold.add(row * columns + i % width, texels[i]);
            }
        }
        return true;
    case SliceAxis::Sagittal:
        // A picture row is a column of the file: the slab's texels of each file row lie side
        // by side, read for many rows at once in the spans a source reads at once, so a thick
        // slab costs little more than one slice.
        return readRowsSideBySide(rows, [&](std::uint64_t firstRow, std::uint64_t endRow) {
            const std::uint64_t span =
                std::max<std::uint64_t>(1, VolumeSource::kSpanBytes / (width * kTexelBytes));
            std::vector<std::uint16_t> part(span * count);
            for (std::uint64_t row = firstRow; row < endRow; ++row) {
                for (std::uint64_t y = 0; y < columns; y += span) {
                    const std::uint64_t lines = std::min(span, columns - y);
                    if (!readRows(first, y, rows - 1 - row, count, lines, part.data())) {
                        return false;
                    }
                    for (std::uint64_t i = 0; i < lines * count; ++i) {
                        fold.add(row * columns + y + i / count, part[i]);
                    }
                }
            }
            return true;
        });
    }
    return false;
}

std::variant<SliceImage, QString> SliceSampler::sample(const VolumeSource& source, const VolumeExtent& extent,
                                                       const SliceRequest& request) {
    if (request.index >= SliceGeometry(request.axis, extent).slices()) {
        return QStringLiteral("slice %1 lies outside the volume's %2")
            .arg(request.index)
            .arg(SliceGeometry(request.axis, extent).slices());
    }
    if (request.level > source.storedLevels()) {
        return QStringLiteral("the volume holds no level %1 of its own").arg(request.level);
    }
    const VolumeSource::LevelShifts shifts = source.levelShifts(request.level);
    const SliceGeometry geometry(request.axis, levelVoxels(extent, shifts));
    SliceImage image{request, geometry.columns(), geometry.rows(), {}};
    SliceRequest atLevel = request;
    const std::uint32_t across = shifts[SliceGeometry::across(request.axis)];
    atLevel.index = request.index >> across;
    atLevel.slabSlices = std::max<std::uint64_t>(request.slabSlices >> across, 1);
    const auto [first, count] = slabRange(atLevel, geometry.slices());
    SlabFold fold(request.slab, image.width * image.height);
    if (!readSlab(source, request.level, geometry, first, count, fold)) {
        return QStringLiteral("the volume's voxels could not be read");
    }
    image.texels = fold.texels(count);
    return image;
}

std::variant<std::vector<SliceImage>, QString> SliceSampler::sampleSagittalBlock(const VolumeSource& source,
                                                                                 const VolumeExtent& extent,
                                                                                 std::uint64_t first,
                                                                                 std::uint64_t count) {
    const SliceGeometry geometry(SliceAxis::Sagittal, extent);
    if (first >= geometry.slices()) {
        return QStringLiteral("slice %1 lies outside the volume's %2").arg(first).arg(geometry.slices());
    }
    count = std::min(count, geometry.slices() - first);
    const std::uint64_t columns = geometry.columns();
    const std::uint64_t rows = geometry.rows();
    std::vector<SliceImage> images;
    for (std::uint64_t index = first; index < first + count; ++index) {
        images.push_back(
            {{SliceAxis::Sagittal, index}, columns, rows, std::vector<std::uint16_t>(columns * rows)});
    }
    const bool read = readRowsSideBySide(rows, [&](std::uint64_t firstRow, std::uint64_t endRow) {
        const std::uint64_t span =
            std::max<std::uint64_t>(1, VolumeSource::kSpanBytes / (extent[0] * kTexelBytes));
        std::vector<std::uint16_t> texels(span * count);
        for (std::uint64_t row = firstRow; row < endRow; ++row) {
            for (std::uint64_t y = 0; y < columns; y += span) {
                const std::uint64_t lines = std::min(span, columns - y);
                if (!source.readRows(first, y, rows - 1 - row, count, lines, texels.data())) {
                    return false;
                }
                for (std::uint64_t line = 0; line < lines; ++line) {
                    for (std::uint64_t slice = 0; slice < count; ++slice) {
                        images[slice].texels[row * columns + y + line] = texels[line * count + slice];
                    }
                }
            }
        }
        return true;
    });
    if (!read) {
        return QStringLiteral("the volume's voxels could not be read");
    }
    return images;
}
