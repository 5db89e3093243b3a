#pragma once

#include <array>
#include <cstdint>

#include "Bitmap.h"

namespace analysis {

// The change of the whole scene's brightness between two frames: later ~ gain x earlier
// + offset, fitted on a sparse grid of mid-tone pixels so that what moved (a minority of
// the pixels) does not pull the fit.
struct LightModel {
    double gain = 1.0;
    double offset = 0.0;
    double residualScale = 0.0; // robust spread of the pixels around the fitted line
    int samples = 0;            // mid-tone pixels the fit stood on
    double darkestLevel = 32, brightestLevel = 223; // most of the scene's mid-tones lie between

    // The largest shift the model gives a level of the scene, in gray levels.
    double largestShift() const;
};

// Fits the model to two 8-bit frames of one size; too few usable pixels give the identity.
LightModel fitLightModel(const Bitmap& earlier, const Bitmap& later);

// How colourful a 24-bit frame is: the mean of max(r, g, b) - min(r, g, b) over a sparse
// grid, 0 for a gray picture. A camera that switches to infrared drops this to about 0.
double colourfulness(const Bitmap& colour);

// The model as integer arithmetic on 8-bit levels:
// clamp(((level x gain + 2^(shift-1)) >> shift) + offset, 0, 255).
struct Compensation {
    bool on = false;
    std::uint16_t gain = 128; // at most 255, so level x gain stays within 16 bits
    int shift = 7;
    std::int16_t offset = 0;
    // apply() of every level, for the kernels that look levels up rather than compute them.
    std::array<std::uint8_t, 256> levels{};

    static Compensation of(const LightModel& model);
    std::uint8_t apply(std::uint8_t level) const
    {
        const int v = ((level * gain + (1 << (shift - 1))) >> shift) + offset;
        return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
};

} // namespace analysis
