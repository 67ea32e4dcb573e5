#pragma once

#include <QString>

class Bundle;
class VolumeData;
struct VolumeRecord;

// The status line's account of the volume on show: its voxel counts and spacing,
// or, when the built-in sample could not be read, which file is missing or short
// and where it was looked for.
class VolumeStatus {
  public:
    // "512 × 512 × 463 · 0.625 × 0.625 × 1.0 mm"
    static QString describe(const VolumeData& volume);
    // The same for an imported volume, followed by the reader's notes.
    static QString describe(const VolumeRecord& volume);

    // describe() for a usable sample; otherwise the reason it shows nothing.
    static QString describeSample(const VolumeData* sample, const Bundle& bundle);
};
