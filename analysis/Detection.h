#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BitPlane.h"
#include "Bitmap.h"
#include "CompareFrames.h"
#include "Confirmation.h"
#include "LightCompensation.h"
#include "NoiseTiles.h"
#include "SceneModel.h"
#include "SmallAreas.h"

namespace analysis {

// Which of the detection's mechanisms run, and their few parameters. All off (the
// default) leaves every cycle's verdict to the comparison alone.
struct DetectionSettings {
    bool light = false;       // a change of the whole scene's light does not count
    bool noise = false;       // a pixel counts only above `noiseFactor` x its tile's noise
    double noiseFactor = 3.0;
    bool specks = false;      // changed areas narrower than `speckSize` pixels do not count
    int speckSize = 2;
    bool mask = false;        // pixels the mask marks black do not count
    bool confirm = false;     // movement needs `confirmNeeded` of the last `confirmWindow` cycles
    int confirmNeeded = 2;
    int confirmWindow = 3;
    // Changes are sought against the scene learnt over the last seconds instead of the
    // last frame, and judged as areas (see SceneModel): the light is then fitted region by
    // region, the noise learnt per region, specks measured against the frame's size, and
    // an area confirmed once it was seen in `confirmNeeded` cycles running.
    bool scene = false;

    // Every mechanism on with the defaults (tuned on the scenes of bench/detection_quality).
    static DetectionSettings robust();
    bool anyOn() const { return light || noise || specks || mask || confirm || scene; }
    // Within the bounds the mechanisms take: factor 1 .. 20, speck size 2 .. 32, 1 <= needed <= window <= 32.
    DetectionSettings bounded() const;
    friend bool operator==(const DetectionSettings&, const DetectionSettings&) = default;
};

// Why a cycle whose comparison alone would have counted as movement did not count.
enum class Rejection { None, LightChange, Noise, Specks, Masked, NotConfirmed };
// The words the status line shows: "light change", "noise", ...; empty for None.
const char* rejectionText(Rejection why);

struct DetectionResult {
    std::int64_t brightCount = 0; // after detection
    std::int64_t darkCount = 0;
    bool moving = false;    // the counts after detection exceed the Minimal Movement
    bool confirmed = false; // moving and confirmed: the cycle beeps and saves
    Rejection rejection = Rejection::None;
    bool lightChange = false; // the whole scene's light changed (or the camera went to or from infrared)
    bool infrared = false;    // the colour collapsed to gray, or came back
    LightModel light;

    std::int64_t changed() const { return brightCount + darkCount; }
};

// The detection stage of the evaluation cycle: one call per cycle after CompareFrames on
// the same two gray frames decides which changed pixels count and whether the cycle
// moved. It keeps what it learns between cycles: the noise of each tile of the frame,
// the colourfulness of the last frame, the recent verdicts; and the user's mask.
class Detection {
public:
    void setSettings(const DetectionSettings& settings);
    const DetectionSettings& settings() const { return settings_; }

    // The mask: 8-bit, 0 where changes are ignored; an empty picture watches everything.
    // It is scaled to the frame's size in each cycle.
    void setMask(Bitmap mask);
    const Bitmap& mask() const { return mask_; }
    // Reads a PGM mask (see Mask.h). A file that cannot be read, or whose shape is not
    // the frame's (once a frame was seen), throws std::runtime_error and keeps the old mask.
    void loadMask(const std::string& fileName);
    void saveMask(const std::string& fileName) const;

    // Forgets what was learnt of the scene (a new source or a new reference frame).
    void reset();

    // One cycle: `earlier` and `later` are the gray frames CompareFrames compared under
    // `threshold` into `compared`, `colour` the later frame in colour (or an empty
    // picture). Frames that CompareFrames refused give no movement.
    DetectionResult evaluate(const Bitmap& earlier, const Bitmap& later, const Bitmap& colour, std::uint8_t threshold,
                             std::int64_t minimalMovement, const MovementResult& compared);

    // Fades to near white the pixels of the last cycle's difference picture that changed
    // but did not count; a cycle that ran no pixel mechanism leaves it as it is.
    void fadeDiscounted(Bitmap& difference) const;

    // Whether the last cycle counted pixel (x, y) (only after a cycle that ran a pixel mechanism).
    bool counted(int x, int y) const;
    bool countedLastCycle() const { return ranPixels_; }

    const NoiseTiles& noise() const { return noise_; }
    // Bytes of state kept between cycles.
    std::size_t stateBytes() const;

private:
    DetectionResult evaluateScene(const Bitmap& earlier, const Bitmap& later, std::int64_t rawChanged,
                                  std::uint8_t threshold, std::int64_t minimalMovement);
    void fitFrame(int width, int height);
    void learnNoise(const BitPlane& moved);
    void markMaskedTiles();

    DetectionSettings settings_;
    Bitmap mask_;
    bool maskChanged_ = true;
    BitPlane maskBits_;
    std::vector<bool> maskedTiles_; // tiles the mask mostly hides

    NoiseTiles noise_;
    Confirmation confirmation_;
    double lastColourfulness_ = -1;
    bool ranPixels_ = false;
    SceneModel scene_;
    std::vector<std::uint8_t> sceneWatched_; // the mask at the scene's analysis size
    bool sceneRan_ = false;
    DetectionResult last_; // a picture sent again repeats its verdict
    int repeats_ = 0;      // pictures sent again since the last new one

    int width_ = 0, height_ = 0;
    BitPlane bright_, dark_, moved_;
    SpeckWork specks_;
    std::vector<std::uint8_t> rowThresholds_;  // per run of 32 pixels of a row
    std::vector<std::uint64_t> groupSums_;     // per run of 8 pixels of a row of tiles
    std::vector<std::uint64_t> tileSums_;
    std::vector<RowSpan> spans_; // the rows with a changed pixel in the last cycle
    std::vector<std::int64_t> tilePixels_;
};

} // namespace analysis
