#include "render/display/ColourSpaces.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace colourspaces {

namespace {

using Triple = std::array<double, 3>;

// CIE D65, the white of sRGB.
constexpr Triple kWhite{0.9505, 1.0, 1.089};
// Below this the CIELAB curve runs straight to black.
constexpr double kLabLinear = 0.008856;
constexpr double kLabSlope = 7.787;
constexpr double kLabOffset = 16.0 / 116.0;
// A diverging map's two halves meet at a white of at least this magnitude in Msh.
constexpr double kDivergingWhite = 88.0;
// Colours less saturated than this (radians from the lightness axis) have no hue to speak of.
constexpr double kUnsaturated = 0.05;

double linearOf(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double gammaOf(double linear) {
    const double channel = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
    return std::clamp(channel, 0.0, 1.0);
}

Triple labOf(Rgb c) {
    const double r = linearOf(c.red), g = linearOf(c.green), b = linearOf(c.blue);
    const Triple xyz{0.4124 * r + 0.3576 * g + 0.1805 * b, 0.2126 * r + 0.7152 * g + 0.0722 * b,
                     0.0193 * r + 0.1192 * g + 0.9505 * b};
    Triple f{};
    for (std::size_t i = 0; i < 3; ++i) {
        const double t = xyz[i] / kWhite[i];
        f[i] = t > kLabLinear ? std::cbrt(t) : kLabSlope * t + kLabOffset;
    }
    return {116.0 * f[1] - 16.0, 500.0 * (f[0] - f[1]), 200.0 * (f[1] - f[2])};
}

Rgb rgbOf(Triple lab) {
    const double fy = (lab[0] + 16.0) / 116.0;
    const Triple f{fy + lab[1] / 500.0, fy, fy - lab[2] / 200.0};
    Triple xyz{};
    for (std::size_t i = 0; i < 3; ++i) {
        const double cube = f[i] * f[i] * f[i];
        xyz[i] = kWhite[i] * (cube > kLabLinear ? cube : (f[i] - kLabOffset) / kLabSlope);
    }
    const auto [x, y, z] = xyz;
    return {gammaOf(3.2406 * x - 1.5372 * y - 0.4986 * z), gammaOf(-0.9689 * x + 1.8758 * y + 0.0415 * z),
            gammaOf(0.0557 * x - 0.2040 * y + 1.0570 * z)};
}

// Msh: magnitude, saturation (angle from the lightness axis) and hue of a CIELAB colour.
Triple mshOf(Triple lab) {
    const double m = std::hypot(lab[0], lab[1], lab[2]);
    return {m, m > 0.0 ? std::acos(std::clamp(lab[0] / m, -1.0, 1.0)) : 0.0, std::atan2(lab[2], lab[1])};
}

Triple labOfMsh(Triple msh) {
    const auto [m, s, h] = msh;
    return {m * std::cos(s), m * std::sin(s) * std::cos(h), m * std::sin(s) * std::sin(h)};
}

// The hue an unsaturated colour of magnitude `m` takes beside a saturated one: turned from the
// saturated hue away from the map's middle, so the ramp between them stays even in hue.
double hueBeside(Triple saturated, double m) {
    const auto [ms, ss, hs] = saturated;
    if (ms >= m) {
        return hs;
    }
    const double spin = ss * std::sqrt(m * m - ms * ms) / (ms * std::sin(ss));
    return hs > -std::numbers::pi / 3.0 ? hs + spin : hs - spin;
}

Rgb diverging(Rgb from, Rgb to, double t) {
    Triple a = mshOf(labOf(from)), b = mshOf(labOf(to));
    double hueApart = std::abs(a[2] - b[2]);
    hueApart = std::min(hueApart, 2.0 * std::numbers::pi - hueApart);
    if (a[1] > kUnsaturated && b[1] > kUnsaturated && hueApart > std::numbers::pi / 3.0) {
        const Triple white{std::max({a[0], b[0], kDivergingWhite}), 0.0, 0.0};
        if (t < 0.5) {
            b = white;
            t *= 2.0;
        } else {
            a = white;
            t = 2.0 * t - 1.0;
        }
    }
    if (a[1] < kUnsaturated && b[1] > kUnsaturated) {
        a[2] = hueBeside(b, a[0]);
    } else if (b[1] < kUnsaturated && a[1] > kUnsaturated) {
        b[2] = hueBeside(a, b[0]);
    }
    Triple msh{};
    for (std::size_t i = 0; i < 3; ++i) {
        msh[i] = a[i] + t * (b[i] - a[i]);
    }
    return rgbOf(labOfMsh(msh));
}

// Hue, saturation and value, each 0 to 1.
Triple hsvOf(Rgb c) {
    const double high = std::max({c.red, c.green, c.blue}), low = std::min({c.red, c.green, c.blue});
    const double chroma = high - low;
    double hue = 0.0;
    if (chroma > 0.0) {
        if (high == c.red) {
            hue = (c.green - c.blue) / chroma;
        } else if (high == c.green) {
            hue = 2.0 + (c.blue - c.red) / chroma;
        } else {
            hue = 4.0 + (c.red - c.green) / chroma;
        }
        hue = std::fmod(hue / 6.0 + 1.0, 1.0);
    }
    return {hue, high > 0.0 ? chroma / high : 0.0, high};
}

Rgb rgbOfHsv(Triple hsv) {
    const auto [hue, saturation, value] = hsv;
    const double sector = std::fmod(hue, 1.0) * 6.0;
    const auto whole = static_cast<int>(sector);
    const double part = sector - whole;
    const double p = value * (1.0 - saturation), q = value * (1.0 - saturation * part),
                 r = value * (1.0 - saturation * (1.0 - part));
    switch (whole % 6) {
    case 0:
        return {value, r, p};
    case 1:
        return {q, value, p};
    case 2:
        return {p, value, r};
    case 3:
        return {p, q, value};
    case 4:
        return {r, p, value};
    default:
        return {value, p, q};
    }
}

Rgb hsv(Rgb from, Rgb to, double t) {
    Triple a = hsvOf(from), b = hsvOf(to);
    // A grey has no hue of its own: it takes the other end's.
    if (a[1] == 0.0) {
        a[0] = b[0];
    } else if (b[1] == 0.0) {
        b[0] = a[0];
    }
    if (std::abs(b[0] - a[0]) > 0.5) {
        (a[0] < b[0] ? a[0] : b[0]) += 1.0;
    }
    Triple mixed{};
    for (std::size_t i = 0; i < 3; ++i) {
        mixed[i] = a[i] + t * (b[i] - a[i]);
    }
    return rgbOfHsv(mixed);
}

} // namespace

std::optional<ColourSpace> named(const QString& name) {
    const QString lower = name.toLower();
    if (lower == QLatin1String("rgb")) {
        return ColourSpace::Rgb;
    }
    if (lower == QLatin1String("hsv")) {
        return ColourSpace::Hsv;
    }
    if (lower == QLatin1String("lab") || lower == QLatin1String("cielab") ||
        lower == QLatin1String("lab/ciede2000")) {
        return ColourSpace::Lab;
    }
    if (lower == QLatin1String("diverging")) {
        return ColourSpace::Diverging;
    }
    if (lower == QLatin1String("step")) {
        return ColourSpace::Step;
    }
    return std::nullopt;
}

QString nameOf(ColourSpace space) {
    switch (space) {
    case ColourSpace::Rgb:
        return QStringLiteral("RGB");
    case ColourSpace::Hsv:
        return QStringLiteral("HSV");
    case ColourSpace::Lab:
        return QStringLiteral("Lab");
    case ColourSpace::Diverging:
        return QStringLiteral("Diverging");
    case ColourSpace::Step:
        return QStringLiteral("Step");
    }
    return QStringLiteral("RGB");
}

Rgb between(ColourSpace space, Rgb from, Rgb to, double t) {
    t = std::clamp(t, 0.0, 1.0);
    switch (space) {
    case ColourSpace::Rgb:
        return {from.red + t * (to.red - from.red), from.green + t * (to.green - from.green),
                from.blue + t * (to.blue - from.blue)};
    case ColourSpace::Hsv:
        return hsv(from, to, t);
    case ColourSpace::Lab: {
        const Triple a = labOf(from), b = labOf(to);
        return rgbOf({a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])});
    }
    case ColourSpace::Diverging:
        return diverging(from, to, t);
    case ColourSpace::Step:
        return t < 1.0 ? from : to;
    }
    return from;
}

} // namespace colourspaces
