#pragma once

#include <cstdint>
#include <vector>

#include "Bitmap.h"
#include "SceneKernels.h"

namespace analysis {

// What the scene model takes from the detection's settings for one cycle.
struct SceneRules {
    std::uint8_t threshold = 20; // the Pixel Variations, for a mid-gray part of the scene
    bool light = true;           // light that changed over a region is explained away
    bool noise = true;           // each region's noise raises its threshold
    double noiseFactor = 3.0;
    bool specks = true;          // changed areas smaller than a share of the frame do not count
    int trackCycles = 2;         // an area counts once it was seen in this many cycles running (1: at once)
    int elapsed = 1;             // cycles since the last new picture: what moves may have moved that much further
};

// How a cycle's changes against the scene fared, in pixels of the analysis picture.
struct SceneCounts {
    std::int64_t bright = 0, dark = 0;  // counted
    std::int64_t found = 0;             // differing from the scene before the areas were judged
    std::int64_t specks = 0;            // in areas too small
    bool lightChange = false;           // most of the scene's light changed
};

// The scene as the camera sees it when nothing moves, learnt over several seconds, and the
// test of each new picture against it. Comparing with the learnt scene rather than the
// last picture alone lets slow, small and faint movement add up above the noise, and a
// person who stops stays seen. The new picture is first aligned with the scene (a mount
// that shakes by a pixel or two), the scene's light is fitted region by region (a cloud's
// shadow darkens a region but keeps its texture), and what differs is judged as areas:
// an area counts when it is large enough for the frame and was seen in the cycles before
// (snow and moths at the lens are somewhere new in every picture).
//
// Works on the picture binned to about 160 x 120, so that its rules mean the same at
// every resolution and a large frame costs little more than a small one.
class SceneModel {
public:
    // Forgets the scene: the next picture becomes it.
    void reset();

    // One cycle with the 8-bit gray picture `gray`; `watched` (empty, or one byte per pixel
    // of the analysis picture, 0 for ignored) says where changes may count. Returns the
    // counts; counted() and binning() describe the counted pixels afterwards.
    SceneCounts update(const Bitmap& gray, const std::vector<std::uint8_t>& watched, const SceneRules& rules);

    // The analysis picture's size and its pixels' size in frame pixels (an edge of b x b).
    int width() const { return width_; }
    int height() const { return height_; }
    int binning() const { return bin_; }
    static int binningFor(int frameWidth, int frameHeight);
    // The last cycle's counted pixels: 1 brightened, 2 darkened, 0 not counted.
    std::uint8_t counted(int x, int y) const { return state_[index(x, y)]; }
    bool learnt() const { return !scene_.empty(); }

    // Bytes kept from cycle to cycle.
    std::size_t stateBytes() const;

private:
    std::size_t index(int x, int y) const { return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x); }
    void start(int frameWidth, int frameHeight);
    void bin(const Bitmap& gray, const kernels::SceneKernels& ops);
    void align(const kernels::SceneKernels& ops);
    void fitLight(const SceneRules& rules, const kernels::SceneKernels& ops);
    void findChanges(const SceneRules& rules, SceneCounts& counts, const kernels::SceneKernels& ops);
    void judgeAreas(const SceneRules& rules, SceneCounts& counts, const kernels::SceneKernels& ops);
    void learn(const SceneCounts& counts, const kernels::SceneKernels& ops);
    // Row y of the pixels where changes may count (1) or not (0).
    const std::uint8_t* watchedRow(int y) const { return watched_ ? watched_ + index(0, y) : everywhere_.data(); }

    int frameWidth_ = 0, frameHeight_ = 0;
    int bin_ = 1, width_ = 0, height_ = 0;
    int blockColumns_ = 0, blockRows_ = 0;

    // Kept between cycles.
    std::vector<std::uint16_t> scene_; // the scene's level x 256
    std::vector<std::uint8_t> previous_; // the last binned picture
    std::vector<std::uint8_t> age_;    // cycles the pixel has been part of a changed area, up to 255
    std::vector<std::uint8_t> ageRows_; // rows that may hold an age
    std::vector<float> blockNoise_;    // the mean absolute smoothed difference of each quiet block; < 0 unknown

    // Each cycle's work.
    std::vector<std::uint8_t> picture_;   // the binned picture
    std::vector<std::uint8_t> sceneLevels_; // the scene rounded to 8 bits
    const std::uint8_t* watched_ = nullptr; // the cycle's mask, or null: everywhere_
    std::vector<std::uint8_t> everywhere_;  // a block row of ones
    std::vector<std::uint8_t> aligned_;   // the scene, aligned; empty when not shifted
    const std::vector<std::uint8_t>& alignedScene() const { return aligned_.empty() ? sceneLevels_ : aligned_; }
    std::vector<std::uint8_t> expected_;  // the scene, aligned and in this picture's light
    std::vector<std::uint16_t> sums_, expectedSums_; // 3 x 3 sums
    std::vector<std::uint16_t> low_, high_;          // the expected sums' range across 3 rows
    std::vector<std::uint16_t> boxColumns_;          // eight rows' column sums of three
    std::vector<std::uint8_t> rowChanged_;                         // a row holds a changed pixel
    std::vector<std::uint8_t> rowNeeded_;                          // a row lies within reach of a changed one
    std::vector<std::uint8_t> state_;     // 0 unchanged, 1 brighter, 2 darker; after the areas: counted only
    std::vector<std::int32_t> labels_;
    struct Pixel {
        int x, y;
    };
    std::vector<Pixel> changed_;          // the changed pixels, row by row
    std::vector<std::int32_t> parent_;
    struct Fit {
        float gain = 1, offset = 0;
    };
    struct Sums {
        double n = 0, g = 0, s = 0, gg = 0, ss = 0, gs = 0;
    };
    std::vector<Fit> fits_;
    std::vector<Sums> blockSums_;
    std::vector<std::uint8_t> own_, quiet_, fresh_, reached_, ownNear_; // the light fit's blocks: see fitLight()
    std::vector<std::uint8_t> blockMoved_; // the fitted light moved the block's mean
    std::vector<float> blockMean_;         // this cycle's noise measurement
    std::vector<std::uint16_t> columnSums_;
    std::vector<std::int32_t> lightBlocks_; // each block's light sums, 8 a block
    std::vector<std::int32_t> noiseBlocks_, count_; // each block's noise sums (4 a block), its count
    std::vector<float> measured_;
    std::vector<std::uint8_t> work8_, moved_, ghostAge_; // work8_: the largest age along rows
    std::vector<float> gainRow_, offsetRow_;
    std::vector<std::int16_t> limits_;
    std::vector<std::uint8_t> unknown_; // the scene was clipped where its light changed
    bool unknownSet_ = false;           // unknown_ may hold a pixel
    std::vector<float> blockThreshold_;
    std::vector<std::uint8_t> blockBusy_;
    int shiftX_ = 0, shiftY_ = 0;
    int cycles_ = 0; // since the scene was started
    float clutter_ = 0; // the most new flake-sized areas of a recent cycle, faded with age
};

} // namespace analysis
