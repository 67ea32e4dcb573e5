#pragma once

#include "render/scene/VolumeSurvey.h"

#include <QString>
#include <array>
#include <cstdint>
#include <optional>

// The built-in sample never changes, so its survey (the brick grid's finest level and the
// texel statistics) is made once, when the build writes the sample, and read at start-up in
// place of the sample's 242 MB of voxels: the first picture need not wait for every voxel.
//
// The file says what it surveyed (the volume's size and its data's length); a file that
// does not match the volume at hand, or is cut short or damaged, is not used, and the
// volume is surveyed from its voxels as any other.
class SampleSurveyFile {
  public:
    // Where the survey of the voxels in `dataPath` lies: beside them, ".survey" for their suffix.
    static QString besideData(const QString& dataPath);

    // Writes `survey` of a volume of `size` whose voxels take `dataBytes`; the reason on failure.
    static std::optional<QString> write(const QString& path, const VolumeSurvey::Survey& survey,
                                        std::array<std::uint64_t, 3> size, std::uint64_t dataBytes);
    // The survey at `path` when it is one of a volume of `size` and `dataBytes`; nothing otherwise.
    static std::optional<VolumeSurvey::Survey> read(const QString& path, std::array<std::uint64_t, 3> size,
                                                    std::uint64_t dataBytes);
};
