// Feeds invented ImageDescription texts to the reading of ImageJ's TIFF metadata: any
// text gives nothing or a description with positive counts and a positive, finite
// slice spacing, and never crashes.

#include "ImageJDescription.h"

#include <QString>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<ImageJDescription> description = ImageJDescription::parse(text);
    if (!description)
        return 0;
    check(description->channels >= 1 && description->frames >= 1);
    if (description->spacing)
        check(std::isfinite(*description->spacing) && *description->spacing > 0.0);
    if (const std::optional<double> unit = description->millimetresPerUnit())
        check(*unit > 0.0);
    return 0;
}
