#pragma once

#include "ByteBuffer.h"

#include <QString>
#include <cstdint>

// What an NRRD import hands to the renderer: the header's fields as read, and the
// decoded voxels. `data` always holds width x height x depth unsigned 16-bit samples
// in host byte order, x fastest; signed volumes are stored offset by +32768 and carry
// sampleOffset -32768 so that texel + sampleOffset is the sample as written.
struct NRRDfmt {
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
    std::int32_t sampleOffset = 0;
};
