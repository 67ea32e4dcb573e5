#pragma once

#include <QString>
#include <array>
#include <optional>

// Where a volume's voxel axes point in the patient, in LPS: +x of patient space toward the
// patient's left, +y posterior, +z superior (DICOM's patient coordinates). Formats that
// speak RAS (NIfTI, NRRD's right-anterior-superior) are turned into LPS when read.
struct PatientOrientation {
    using Direction = std::array<double, 3>;

    // The unit patient direction of +x, +y and +z voxel axes.
    std::array<Direction, 3> axes{};

    // The orientation of three voxel-axis vectors of any length (an NRRD's space directions,
    // the columns of a NIfTI affine): none when one is not finite or the three do not span
    // space.
    static std::optional<PatientOrientation> fromVectors(const std::array<Direction, 3>& vectors);
    // A RAS direction in LPS.
    static Direction fromRas(const Direction& ras);

    // The patient axis (0 left-right, 1 posterior-anterior, 2 superior-inferior) nearest each
    // voxel axis: the assignment, one patient axis to each voxel axis, of the smallest total
    // angle, so that even a 45° acquisition gives three different axes.
    std::array<int, 3> nearestPatientAxes() const;
    // The angle in degrees between a voxel axis and its nearest patient axis.
    double obliquity(int voxelAxis) const;
    // The letter of the patient side a direction points to along `patientAxis`: R, L, A, P, I, S.
    static QChar letter(const Direction& direction, int patientAxis);
    // The sides a direction points to: the one along `patientAxis` first, then those of the
    // other patient axes it leans toward by kLeaningDegrees or more, the steeper first ("LP"
    // for a row of an axial slice turned 30° about the patient's long axis).
    static QString sides(const Direction& direction, int patientAxis);
    static constexpr double kLeaningDegrees = 10.0;
    // The letters of +x, +y, +z voxel axes, e.g. "LPS" for axial slices as CT writes them.
    QString code() const;
};
