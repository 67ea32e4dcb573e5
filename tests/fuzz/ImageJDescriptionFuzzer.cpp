// Feeds invented ImageDescription texts to the reading of ImageJ's TIFF metadata: any
// text gives nothing or a description with positive counts and a positive, finite
// slice spacing, and never crashes.

#include "ImportPromises.h"
#include "volume/tiff/ImageJDescription.h"

#include <QString>
#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<ImageJDescription> description = ImageJDescription::parse(text);
    if (!description)
        return 0;
    checkPromise(description->channels >= 1 && description->frames >= 1, "channels and frames are counted");
    if (description->spacing)
        checkPromise(std::isfinite(*description->spacing) && *description->spacing > 0.0,
                     "the slice spacing is positive and finite");
    if (const std::optional<double> unit = description->millimetresPerUnit())
        checkPromise(*unit > 0.0, "a unit is a positive length");
    return 0;
}
