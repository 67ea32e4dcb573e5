#pragma once

#include <cstdint>

class OffscreenMTKView;
class QVRenderer;

// One edit of the opacity curve, as a drag of a point in the transfer-function editor makes
// it, and the frame that follows: how long that frame took, what went up to the GPU for it
// and whether it shows the edit. Only the function's small table should go up; bricks and
// page tables stay as they were when the edit hides no more values than before.
class CurveEdit {
  public:
    struct Result {
        double frameMs = 0.0;
        std::uint64_t colourMapUploads = 0;
        std::uint64_t brickUploads = 0;
        std::uint64_t pageTableUploads = 0;
        bool pictureChanged = false;
    };

    // Halves the opacity of the current function (or gives a map without a curve a linear
    // one below its implicit square) and draws one frame.
    static Result run(QVRenderer& renderer, OffscreenMTKView& view);
};
