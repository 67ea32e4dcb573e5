#pragma once

#include "volume/core/ByteBuffer.h"
#include "volume/core/PatientOrientation.h"
#include "volume/core/VolumeSource.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// What an import of any format hands to the renderer: the volume's shape, spacing and
// sample type as read, and its voxels, decoded or read in place. `data` always holds
// width x height x depth unsigned 16-bit samples in host byte order, x fastest; signed
// volumes are stored offset by +32768 and carry sampleOffset -32768 so that
// texel + sampleOffset is the sample as written.
struct VolumeRecord {
    QString type; // second token of "type:" (the full type text decides signedness)
    std::uint32_t dimension = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t depth = 0;
    float cellspaceX = 0.0f;
    float cellspaceY = 0.0f;
    float cellspaceZ = 0.0f;
    QString encoding;
    QString dataFile;
    ByteBuffer data;
    // Set instead of `data` for a volume too large to hold in memory or in one texture
    // whose samples can be read in place (raw 16-bit samples, one file or several): the
    // renderer reads its bricks from here, a piece at a time.
    std::shared_ptr<const VolumeSource> source;
    std::int32_t sampleOffset = 0;
    // How a sample becomes a value in the file's own units:
    // value = (texel + sampleOffset) * valueScale + valueOffset. 8- and 16-bit integer
    // volumes keep 1 and 0; rescaled ones (32-bit integers, floats, a DICOM rescale
    // slope) carry the linear map that put their range into the 16-bit texture.
    double valueScale = 1.0;
    double valueOffset = 0.0;
    // The values are Hounsfield units (CT): the usual CT windows apply to them.
    bool hounsfield = false;
    // The file's own display window where it names one (DICOM Window Center/Width),
    // in the file's units.
    struct Window {
        double level = 0.0;
        double width = 0.0;
    };
    std::optional<Window> fileWindow;
    // Where the voxel axes point in the patient, where the file says (NRRD's space and space
    // directions, NIfTI's sform or qform, DICOM's Image Orientation and slice order).
    std::optional<PatientOrientation> orientation;
    // What the user should know about how the file was read (oblique slices shown in
    // voxel order, first volume of a 4-D file, spacing assumed).
    QStringList notes;
    // Which reader made the record: "nrrd", "dicom", "nifti" or "tiff".
    QString format = QStringLiteral("nrrd");
};

// The record's name at the renderer's entry point (updateVolumeDataWithNRRDfmt), where the
// first imports were all NRRD files.
using NRRDfmt = VolumeRecord;
