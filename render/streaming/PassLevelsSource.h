#pragma once

#include "volume/core/VolumeSource.h"

#include <memory>

class CoarseLevels;

// A volume read in place as slice views and the histogram read it: level 0 from its files,
// and, once the pass over them (CoarseLevels) has finished, the finest level the pass keeps in
// memory as a coarse level of its own. A slice whose view needs no finer texels then comes at
// once, where level 0 of a volume of many gigabytes takes seconds of reading across its file.
// Until then, and after a pass that failed, it holds no level of its own. Safe on any thread.
class PassLevelsSource final : public VolumeSource {
  public:
    PassLevelsSource(std::shared_ptr<const VolumeSource> files, std::shared_ptr<const CoarseLevels> pass);

    bool readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                 std::uint16_t* out) const override;
    bool readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count, std::uint64_t rows,
                  std::uint16_t* out) const override;
    std::uint32_t storedLevels() const override;
    LevelShifts levelShifts(std::uint32_t level) const override;
    bool readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                       std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const override;
    QString unreadableFile() const override;
    bool failuresPass() const override;

  private:
    std::shared_ptr<const VolumeSource> m_files;
    std::shared_ptr<const CoarseLevels> m_pass;
};
