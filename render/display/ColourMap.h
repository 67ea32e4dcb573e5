#pragma once

#include "render/ShaderConstants.h"
#include "render/display/ColourSpaces.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <variant>
#include <vector>

// The colours samples take across the display window: control points from the window's
// floor (0) to its top (1), blended between them in the map's colour space. The renderer hands the shaders
// the map as a table of kTableSize colours, sampled linearly, so the window's right drag moves and stretches
// the map as it moves the window.
class ColourMap {
  public:
    struct Point {
        double x;
        double red, green, blue;
    };
    // How much a sample shows across the window (0 to 1), in place of the square of its
    // place in the window that colour maps without one take. Up to the next point the curve
    // reaches the two points' mean `midpoint` of the way there, and runs from a straight line
    // (sharpness 0) through ever steeper S-curves to a step at the midpoint (sharpness 1).
    struct OpacityPoint {
        double x;
        double opacity;
        double midpoint = 0.5;
        double sharpness = 0.0;
    };

    // Entries of the table: the n-th holds the colour at n / (kTableSize − 1), so the
    // window's floor, middle and top fall on entries.
    static constexpr std::size_t kTableSize = shading::kColourMapEntries;
    using Table = std::array<std::uint8_t, kTableSize * 4>; // RGBA, alpha opaque

    // The maps the View menu offers: the warm default and black and white first (the two
    // lookups of the Uniforms' clutmode), then hot, bone, a perceptually uniform one and a
    // diverging one.
    static const std::vector<ColourMap>& builtIns();
    static const ColourMap& warmDefault() { return builtIns()[0]; }
    static const ColourMap& blackAndWhite() { return builtIns()[1]; }

    // A colour preset as files give one: the map and the values, in the volume's own units,
    // its first and last colours stand for.
    struct Preset;
    // The first preset of a file in ParaView's JSON format (an array of presets, or one): its
    // `Name`, `ColorSpace` (RGB where it names none), `RGBPoints` (x, r, g, b quadruples, x a
    // value, r, g, b from 0 to 1) and, if it has them, opacity `Points` (x, opacity, midpoint,
    // sharpness), over the range of the RGBPoints. Refused with the reason when it is not
    // such a preset.
    static std::variant<Preset, QString> fromParaViewPreset(const QByteArray& json);
    // The same from a file; the reason names the file.
    static std::variant<Preset, QString> readParaViewPreset(const QString& path);
    // The preset in that format, as an array of one: the map's points placed on the values
    // from `low` to `high`, with its opacity Points where it has a curve of its own.
    static QByteArray toParaViewPreset(const Preset& preset);

    ColourMap(QString name, std::vector<Point> points, std::vector<OpacityPoint> opacity = {},
              ColourSpace space = ColourSpace::Rgb);
    // The same colours with another opacity curve (none where empty).
    ColourMap withOpacity(std::vector<OpacityPoint> opacity) const;

    // The curve's opacity at x (0 to 1), its end values held beyond its ends.
    static double opacityAt(const std::vector<OpacityPoint>& curve, double x);

    const QString& name() const { return m_name; }
    const std::vector<Point>& points() const { return m_points; }
    ColourSpace space() const { return m_space; }
    bool hasOpacity() const { return !m_opacity.empty(); }
    const std::vector<OpacityPoint>& opacity() const { return m_opacity; }
    // How far up the window (0 to 1) the opacity curve shows nothing: 0 without a curve.
    double transparentUpTo() const { return m_transparentUpTo; }
    // The colours, and in alpha the opacity curve (opaque without one).
    const Table& table() const { return m_table; }

  private:
    QString m_name;
    std::vector<Point> m_points;         // x from 0 to 1, rising
    std::vector<OpacityPoint> m_opacity; // x from 0 to 1, rising; empty: none
    ColourSpace m_space;
    double m_transparentUpTo = 0.0; // found once: every frame asks for it
    Table m_table;                  // made once: every window drag recolours the slices with it

    Table makeTable() const;
};

struct ColourMap::Preset {
    ColourMap map;
    double low, high;
};
