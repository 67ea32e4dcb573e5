#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <array>
#include <cstdint>
#include <optional>

// The leading decimal integer of a header value, after leading white space; 0 when the
// text does not begin with a number, the int32 limits when the number does not fit.
std::int32_t nrrdIntValue(QStringView text);

// The leading decimal floating-point number of a header value, after leading white
// space; 0 when there is none, an infinity when it is too large to represent.
double nrrdFloatValue(QStringView text);

// The fields of an NRRD text header that the import reads, as written. Lines end at LF,
// CR or CR LF; each line is split into tokens at every single space, keys compare
// case-sensitively, and when a key occurs on several lines the last usable one wins. A
// line of a known key with fewer tokens than its value needs is skipped, so a
// malformed repeat never erases a good value.
struct NrrdHeader {
    // Voxel spacing per axis: from "space directions:" the length of the axis's vector,
    // whichever way it points (permuted or turned axes); 0 for a "none" direction.
    using AxisSpacing = std::array<double, 3>;
    // What "space directions:" tells: the spacing, and the largest angle in degrees
    // between a direction and the axis of space nearest it (0 for a volume lying along
    // the axes, in any order).
    struct Directions {
        AxisSpacing spacing{};
        double tilt = 0.0;
        // The three vectors, where every axis has one of three components.
        std::optional<std::array<AxisSpacing, 3>> vectors;
    };

    QStringList lines; // every line of the header, in file order

    QString type;     // second token of "type:"
    QString typeText; // every token after "type:" (for "unsigned short", "signed short int" ...)
    std::optional<std::int32_t> dimension;
    std::optional<std::array<std::int32_t, 3>> sizes; // second to fourth tokens of "sizes:"
    int sizeCount = 0;                                // how many sizes that line lists
    QString encoding;                                 // second token of "encoding:"
    QString endian;                                   // second token of "endian:"
    QString dataFile;                                 // third token of "data file:" (second of "datafile:")
    QString dataFileText; // the whole value of that line: names with spaces, LIST, patterns
    std::optional<AxisSpacing> directionSpacing;
    double directionTilt = 0.0;                                 // of the line that gave directionSpacing
    std::optional<std::array<AxisSpacing, 3>> directionVectors; // of that line, where it has them
    QString space;                                              // second token of "space:"
    std::optional<AxisSpacing> spacings; // "spacings:", used where no direction gives one
    std::optional<std::int32_t> lineSkip;
    std::optional<std::int32_t> byteSkip;

    static NrrdHeader parse(QStringView text);
};
