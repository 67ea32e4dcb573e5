#pragma once

#include "ProcessProbe.h"

#include <QString>
#include <cstdint>
#include <variant>

class OffscreenMTKView;
class QVRenderer;

// Still frames from the load of a volume until its brick pool holds what the view needs,
// as the user watches it appear in the window before touching anything: asked for at the
// display's 60 Hz, with the window's adaptive quality; first a coarse picture (the base
// level resident), then the full one (every brick of the level the view needs).
namespace PoolWarmUp {

struct Times {
    ProcessProbe::Elapsed firstPicture;     // end of the first frame that drew the volume
    std::uint64_t firstPictureWebBytes = 0; // bodies fetched from web stores before that frame
    ProcessProbe::Elapsed fullPicture;      // end of the first frame with every brick the view needs
    std::uint32_t level = 0;                // the level of detail of the full picture (0: every voxel)
    int frames = 0;                         // still frames drawn until then
};

// The times, or why the full picture did not come within `limitMs`.
std::variant<Times, QString> run(QVRenderer& renderer, OffscreenMTKView& view, double limitMs);

} // namespace PoolWarmUp
