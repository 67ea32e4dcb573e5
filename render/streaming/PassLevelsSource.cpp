#include "render/streaming/PassLevelsSource.h"

#include "render/streaming/CoarseLevels.h"

PassLevelsSource::PassLevelsSource(std::shared_ptr<const VolumeSource> files,
                                   std::shared_ptr<const CoarseLevels> pass)
    : m_files(std::move(files)), m_pass(std::move(pass)) {}

bool PassLevelsSource::readRow(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                               std::uint16_t* out) const {
    return m_files->readRow(x, y, z, count, out);
}

bool PassLevelsSource::readRows(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t count,
                                std::uint64_t rows, std::uint16_t* out) const {
    return m_files->readRows(x, y, z, count, rows, out);
}

std::uint32_t PassLevelsSource::storedLevels() const {
    // Only the finest kept level: every kept level is read from memory alike, and the coarser
    // ones give no view a picture it needs.
    return m_pass->finished() ? 1 : 0;
}

VolumeSource::LevelShifts PassLevelsSource::levelShifts(std::uint32_t level) const {
    const std::uint32_t shift = level == 0 ? 0 : m_pass->firstKept();
    return {shift, shift, shift};
}

bool PassLevelsSource::readLevelRows(std::uint32_t level, std::uint64_t x, std::uint64_t y, std::uint64_t z,
                                     std::uint64_t count, std::uint64_t rows, std::uint16_t* out) const {
    return level == 1 && m_pass->readKept(m_pass->firstKept(), x, y, z, count, rows, out);
}

QString PassLevelsSource::unreadableFile() const {
    return m_files->unreadableFile();
}

bool PassLevelsSource::failuresPass() const {
    return m_files->failuresPass();
}
