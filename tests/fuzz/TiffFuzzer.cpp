// Writes invented bytes as a TIFF file and imports it as the window does: libtiff reads
// the directories, tags and strips, and our reading of them (the pages' size and sample
// format, the resolution tags with their unit, ImageJ's description with its unit and
// slice spacing) must turn any file into a volume of exactly the promised size with a
// positive, finite voxel spacing and a usable value map, or a refusal; never a crash, an
// overflow or a read out of bounds. The file's name has no number, so no sibling is read.

#include "ImportPromises.h"
#include "VolumeFileWriters.h"
#include "volume/tiff/TiffVolumeReader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TestFolder folder;
    const QString path = folder.write(QStringLiteral("stack.tif"), data, size);
    checkImport(TiffVolumeReader::read(path, fuzzReadOptions()));
    return 0;
}
