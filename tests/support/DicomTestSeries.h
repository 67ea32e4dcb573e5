#pragma once

// Writes small DICOM series with GDCM's own writer, so the reader is tested against
// files it did not write itself.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <gdcmTransferSyntax.h>
#include <vector>

struct DicomTestSeries {
    int width = 8;
    int height = 6;
    int depth = 5;
    double spacingX = 0.5;  // between columns
    double spacingY = 0.75; // between rows
    double spacingZ = 2.0;
    std::array<double, 6> orientation{1, 0, 0, 0, 1, 0};
    std::array<double, 3> origin{-10, -20, 30};
    // Positions of the slices along the normal, from the origin; empty: z * spacingZ.
    std::vector<double> positions{};
    // Each slice shifted along the columns by this much per mm along the normal, as a
    // tilted gantry writes them.
    double shear = 0.0;
    double slope = 1.0;
    double intercept = -1024.0;
    bool signedSamples = true;
    QString uid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.1");
    QString description = QStringLiteral("Head 2.0");
    gdcm::TransferSyntax::TSType syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
    // The file of slice z is named name(fileNumbers[z]) and carries that Instance
    // Number; empty: numbered 1, 2, ... in slice order.
    std::vector<int> fileNumbers{};
    // All slices as the frames of one file instead, in slice order (positions and shear
    // apply to the frames too).
    bool multiFrame = false;

    // The stored sample at a voxel: distinct for every voxel of an 8 x 6 x 5 series.
    int stored(int x, int y, int z) const { return (signedSamples ? -500 : 500) + x + 10 * y + 100 * z; }

    // Writes one file per slice (or one in all) into the folder, returns their paths in
    // slice order.
    QStringList write(const QString& folder) const;

  private:
    // Image Position (Patient) of slice z.
    std::array<double, 3> positionOf(int z) const;
    void placeFrames(const QString& path) const;
};

// Where an explicit VR little endian element of a written file starts (its tag, then its
// VR); -1 where there is none.
qsizetype dicomElementAt(const QByteArray& file, quint16 group, quint16 element, const char* vr);
