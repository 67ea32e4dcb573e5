#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// One image file of a DICOM series, as far as its header tells: enough to group,
// order and size the slices before any pixel data is read.
struct DicomSlice {
    QString path;
    std::uint32_t columns = 0; // Columns: voxels along x
    std::uint32_t rows = 0;    // Rows: voxels along y
    std::uint32_t frames = 1;  // Number of Frames
    // Image Position (Patient): the centre of the first voxel, in mm.
    std::optional<std::array<double, 3>> position;
    // Image Orientation (Patient): the row direction, then the column direction.
    std::optional<std::array<double, 6>> orientation;
    // Pixel Spacing as written (between rows, then between columns; NaN where it cannot
    // be read); absent when the file has none. GDCM reads a zero spacing as 1 mm.
    std::optional<std::array<double, 2>> pixelSpacing{};
    // Rescale Slope and Intercept: value = stored * slope + intercept.
    double slope = 1.0;
    double intercept = 0.0;
    std::uint32_t bitsAllocated = 0;
    bool signedSamples = false; // Pixel Representation 1
};

// The files of one series in one folder: the same Series Instance UID and Frame of
// Reference UID. Slices are kept in the folder's file order; DicomSliceOrder sorts
// them in space.
struct DicomSeries {
    QString uid;
    QString frameOfReference;
    QString description; // Series Description, may be empty
    QString modality;    // "CT", "MR", ...
    QString rescaleType; // Rescale Type, "HU" where the scanner names it
    // Window Center and Width (the first pair when several are given), in the values'
    // units after the rescale.
    std::optional<std::array<double, 2>> window;
    std::vector<DicomSlice> slices;

    // How a chooser lists the series: "Head 2.0 · 512 × 512 · 120 slices".
    QString summary() const;
};
