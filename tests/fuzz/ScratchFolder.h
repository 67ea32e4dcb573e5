#pragma once

#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

// A folder of its own for the files a fuzz target writes, emptied before each input so
// that every input is read alone; removed with the object.
class ScratchFolder {
  public:
    // Removes every file the last input left.
    void clear() const;
    // Writes the bytes as the file `name` in the folder and returns its path.
    QString write(const QString& name, const std::uint8_t* data, std::size_t size) const;
    QString path(const QString& name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
};
