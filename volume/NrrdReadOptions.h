#pragma once

#include <cstdint>

// What every volume reader must respect so that the renderer can take its volume.
struct NrrdReadOptions {
    // The largest 3-D texture side the GPU accepts (GL_MAX_3D_TEXTURE_SIZE).
    static constexpr std::uint32_t kDefaultMaxTextureSize = 2048;

    std::uint32_t maxTextureSize = kDefaultMaxTextureSize;
};
