#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Bitmap.h"
#include "Cycle.h"
#include "Detection.h"
#include "Frame.h"

namespace watch {

// What the user set, read by the caller at the moments the cycle reads them.
struct CycleSettings {
    std::uint8_t threshold = 20;        // pixel variations
    std::int64_t minimalMovement = 400; // more changed pixels than this are movement
    bool beepOnMove = false;
    bool saveOnMove = false;
};

// The evaluation cycle without any window: keeps the gray reference frame, compares each
// new frame with it, decides whether that was movement, beeps and saves, and tells its
// listeners. The windows and the headless mode both drive one of these.
class Evaluation {
public:
    Evaluation();
    ~Evaluation();
    Evaluation(const Evaluation&) = delete;
    Evaluation& operator=(const Evaluation&) = delete;

    // Makes the frame, converted to gray, the reference. A frame that does not convert
    // (an empty one) leaves the reference as it was.
    void takeReference(const analysis::Frame& frame);

    // One cycle: gray conversion, comparison with the reference, the decision, the beep
    // and the save; the new frame becomes the reference whatever the comparison said.
    // A failed save does not throw: the cycle carries the error. The cycle stays valid
    // until the next call. The frame's pixels are taken as they are, not copied.
    const Cycle& evaluate(const analysis::Frame& frame, const CycleSettings& settings);

    const analysis::Bitmap& reference() const { return reference_; }

    // The detection stage each compared frame goes through: its settings and mask. All
    // off (the default), every changed pixel counts.
    analysis::Detection& detection() { return detection_; }
    const analysis::Detection& detection() const { return detection_; }

    // The folder moving frames are saved in ("images" in the working directory unless set).
    void setSaveFolder(std::string folder) { saveFolder_ = std::move(folder); }
    const std::string& saveFolder() const { return saveFolder_; }
    // Asked before a frame is saved, with the bytes it will take; false skips the save.
    using RoomForSave = std::function<bool(std::int64_t bytes)>;
    void setRoomForSave(RoomForSave room) { roomForSave_ = std::move(room); }

    // Listeners are told of each cycle in the order they were added; they must outlive
    // the evaluation or be removed first.
    void addListener(CycleListener* listener);
    void removeListener(CycleListener* listener);

private:
    void compare(const CycleSettings& settings);
    void decide(const CycleSettings& settings);
    void act(const CycleSettings& settings);

    analysis::Bitmap reference_;
    std::uint64_t referenceStream_ = 0;
    // The gray frame of the cycle, and the buffer the next one converts into.
    analysis::Bitmap gray_;
    // The difference pictures handed out with the cycles; one that nobody holds any more
    // is used again. Two, so that a window can keep showing the last one while the next
    // is made.
    std::shared_ptr<analysis::Bitmap> differences_[2];
    Cycle cycle_;
    analysis::Detection detection_;
    analysis::DetectionResult detected_;
    std::vector<CycleListener*> listeners_;
    std::string saveFolder_ = "images";
    RoomForSave roomForSave_;
};

} // namespace watch
