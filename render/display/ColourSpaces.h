#pragma once

#include <QString>
#include <optional>

// How a colour map runs between two of its control points, as colour presets name it: straight
// in RGB, around the hue circle in HSV, straight in CIELAB (even steps of lightness), through
// white between two saturated colours in a diverging map (Moreland's Msh space), or held at
// the lower point's colour up to the next point (a step).
enum class ColourSpace { Rgb, Hsv, Lab, Diverging, Step };

namespace colourspaces {

struct Rgb {
    double red, green, blue; // 0 to 1, sRGB
};

// The space a preset's `ColorSpace` names (case aside; "Lab/CIEDE2000" as CIELAB); none for a
// name no preset uses.
std::optional<ColourSpace> named(const QString& name);
// The name presets write for it.
QString nameOf(ColourSpace space);

// The colour `t` (0 to 1) of the way from `from` to `to`. In HSV the hue goes the shorter way
// round.
Rgb between(ColourSpace space, Rgb from, Rgb to, double t);

} // namespace colourspaces
