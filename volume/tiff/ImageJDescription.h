#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// What ImageJ writes into a TIFF's ImageDescription tag ("ImageJ=1.54f\nimages=60\n
// slices=60\nunit=micron\nspacing=2.5\n..."): the unit its pixel sizes are in, the
// distance between slices, and how the pages divide into slices, channels and frames.
struct ImageJDescription {
    std::optional<double> spacing; // between slices, in `unit`
    QString unit;                  // as written: "micron", "mm", "\u00B5m", "pixel" ...
    int slices = 1;
    int channels = 1;
    int frames = 1;

    // The pages divide along more than one of slices, channels and frames.
    bool isHyperstack() const { return (slices > 1) + (channels > 1) + (frames > 1) > 1; }

    // Nothing when the text is not ImageJ's.
    static std::optional<ImageJDescription> parse(QStringView text);

    // Millimetres per `unit`; nothing for an unknown unit or "pixel".
    std::optional<double> millimetresPerUnit() const;
};
