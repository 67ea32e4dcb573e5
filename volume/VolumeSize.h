#pragma once

#include "NrrdReadOptions.h"
#include "NrrdRefusal.h"

#include <cstdint>
#include <optional>

// Whether a width × height × depth volume can become the renderer's texture: positive
// along every axis, small enough to hold in memory, within the GPU's 3-D texture limit.
std::optional<NrrdRefusal> refuseVolumeSize(std::int64_t width, std::int64_t height, std::int64_t depth,
                                            const NrrdReadOptions& options);
