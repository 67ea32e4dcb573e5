#pragma once

#include "render/scene/VolumeSurvey.h"
#include "render/streaming/BrickBuilder.h"

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class ByteBuffer;

// The built-in sample never changes, so what its start-up needs besides its voxels is made
// once, when the build writes the sample: its survey (the brick grid's finest level and the
// texel statistics) and the bricks of the pool's base level. Read at start-up (a few
// megabytes) in place of surveying all 242 MB of voxels and reading half of them for the
// base level's means, the first picture waits for neither.
//
// The file says what it was made of (the volume's size, its data's length, the brick
// side); a file that does not match the volume and pool at hand, or is cut short or
// damaged, is not used, and the sample is surveyed and read from its voxels as any volume.
class PreparedSample {
  public:
    struct Contents {
        VolumeSurvey::Survey survey;
        std::vector<BrickTexels> baseBricks; // the layout's base level, in index order
    };

    // Where the file for the voxels in `dataPath` lies: beside them, ".prepared" for their suffix.
    static QString besideData(const QString& dataPath);

    // Surveys the texels in `data` (packed, x fastest) and builds the base level of `layout`.
    static Contents prepare(const ByteBuffer& data, std::array<std::uint64_t, 3> size,
                            const BrickLayout& layout);

    // Writes `contents` of a volume of `size` whose voxels take `dataBytes`, cut as `layout`;
    // the reason on failure.
    static std::optional<QString> write(const QString& path, const Contents& contents,
                                        std::array<std::uint64_t, 3> size, std::uint64_t dataBytes,
                                        const BrickLayout& layout);
    // The contents at `path` when they were made of a volume of `size` and `dataBytes` cut
    // as `layout`; nothing otherwise.
    static std::optional<Contents> read(const QString& path, std::array<std::uint64_t, 3> size,
                                        std::uint64_t dataBytes, const BrickLayout& layout);
};
