#pragma once

#include "render/streaming/BrickLayout.h"
#include "render/streaming/BrickView.h"

#include <cstdint>
#include <vector>

class BrickRanges;

// Which bricks a frame needs, as pure functions of the layout, the view, the bricks'
// ranges and the atlas's room: no GPU, no state beyond what the caller hands in.
//
// A brick is needed when the rays can meet it: inside the clip box and the view frustum,
// and not known to hold, together with all its neighbours, only texels that cannot show
// (below the display window, or where the opacity curve hides them) (a ray
// samples at most one voxel into a brick it skips; the neighbours' own slots hold those
// samples). The level is the one the pixels need — at most two level-0 voxels per pixel
// at the volume's centre — or coarser where its bricks in view would not fit the atlas.

// A frame's level and the bricks of it the rays can meet, nearest the camera first. The
// caller keeps one between frames: filling it again allocates nothing once its vectors
// have grown to the largest level in view.
struct NeededBricks {
    struct Candidate {
        float distance = 0.0f; // squared, from the camera to the brick's centre
        BrickKey key;
    };

    std::uint32_t level = 0;
    std::vector<BrickKey> bricks;
    std::vector<Candidate> candidates; // scratch
};

// The level whose voxels the pixels need: the finest with at most two level-0 voxels per
// pixel at the volume's centre (rays step about a voxel, and the front of the volume is
// nearer than its centre), never beyond the base level.
std::uint32_t pixelLevel(const BrickLayout& layout, const BrickView& view);

// Fills `needed` with the bricks of `level` the view's rays can meet.
void findNeededBricks(const BrickLayout& layout, const BrickView& view, const BrickRanges& ranges,
                      std::uint32_t level, NeededBricks& needed);

// Fills `needed` with the finest level, from the pixels' level on, whose needed bricks
// number at most `room` (the slots the atlas has beside its zero slot and the base
// level), and with its bricks; the base level when none fits.
void chooseLevel(const BrickLayout& layout, const BrickView& view, const BrickRanges& ranges,
                 std::uint64_t room, NeededBricks& needed);
