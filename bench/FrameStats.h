#pragma once

#include <vector>

// Summary of a run's frame times, in milliseconds. The first frame pays for shader
// compilation and first touches of the texture, so the steady-state figures leave it out.
struct FrameStats {
    int frames = 0;
    double firstMs = 0.0;
    double medianMs = 0.0;
    double p90Ms = 0.0; // nearest rank: the smallest time that at least 90 % of frames meet
    double meanMs = 0.0;

    // All zero for no frames; with one frame the steady figures are that frame's.
    static FrameStats fromTimes(const std::vector<double>& milliseconds);
};
