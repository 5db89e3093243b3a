#include "Evaluation.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <exception>
#include <stdexcept>
#include <utility>

#include <QLocale>

#include "Beep.h"
#include "CompareFrames.h"
#include "SavedFrame.h"
#include "VelkoGraph.h"

namespace watch {

namespace {

// Failures that a fuller folder or disk explains: the next save may well work again.
bool outOfRoom(std::error_code code)
{
    return code == std::errc::no_space_on_device || code == std::errc::file_too_large ||
           code.value() == EDQUOT;
}

// A picture of the pool that nobody else holds, or a new one in the place of the older.
std::shared_ptr<analysis::Bitmap> recycled(std::shared_ptr<analysis::Bitmap> (&pool)[2])
{
    for (std::shared_ptr<analysis::Bitmap>& picture : pool)
        if (picture.use_count() == 1)
            return picture;
    // Both are held elsewhere (or not made yet): the older is left to its holder.
    std::swap(pool[0], pool[1]);
    pool[1] = std::make_shared<analysis::Bitmap>();
    return pool[1];
}

} // namespace

Evaluation::Evaluation() = default;

Evaluation::~Evaluation() = default;

void Evaluation::takeReference(const analysis::Frame& frame)
{
    if (frame.pixels && analysis::ToGrayscale(*frame.pixels, reference_) == 0) {
        referenceStream_ = frame.stream;
        // A new reference starts a new watch: what was learnt of the last scene is gone.
        detection_.reset();
    }
}

const Cycle& Evaluation::evaluate(const analysis::Frame& frame, const CycleSettings& settings)
{
    cycle_ = Cycle{};
    cycle_.time = std::chrono::system_clock::now();
    // No frame at all is an empty picture, which leaves the cycle without a gray frame as
    // any frame that does not convert does, and so the next cycle without a reference.
    cycle_.frame = frame.pixels ? frame.pixels : std::make_shared<const analysis::Bitmap>(0, 0, analysis::PixelFormat::Bgr24);
    if (analysis::ToGrayscale(*cycle_.frame, gray_) != 0)
        gray_ = analysis::Bitmap();

    // The first frame of a new connection may show anything (a gray start-up picture, a
    // different exposure): it only becomes the reference, so a reconnect never counts.
    cycle_.newStream = frame.stream != referenceStream_;
    detected_ = {};
    if (cycle_.newStream) {
        cycle_.reason = "new connection";
        detection_.reset();
    } else {
        compare(settings);
    }

    std::swap(reference_, gray_);
    referenceStream_ = frame.stream;

    decide(settings);
    act(settings);
    for (CycleListener* listener : listeners_)
        listener->cycleEvaluated(cycle_);
    return cycle_;
}

void Evaluation::compare(const CycleSettings& settings)
{
    std::shared_ptr<analysis::Bitmap> difference = recycled(differences_);
    cycle_.compared = analysis::CompareFrames(reference_, gray_, *difference, settings.threshold, cycle_.result);
    if (cycle_.compared != 0) {
        // Refused: no counts, no centre, no picture.
        cycle_.result = {};
        cycle_.reason = "frames not comparable";
        return;
    }
    cycle_.centred = cycle_.result.BrightCount > 0 && cycle_.result.DarkCount > 0;
    if (cycle_.centred)
        cycle_.centre = cycle_.result.Centre;
    detected_ = detection_.evaluate(reference_, gray_, *cycle_.frame, settings.threshold, settings.minimalMovement,
                                    cycle_.result);
    // The picture keeps every changed pixel; those that did not count are faded.
    detection_.fadeDiscounted(*difference);
    cycle_.difference = std::move(difference);
}

void Evaluation::decide(const CycleSettings& settings)
{
    // The detection stage discounted what it does not take for movement and confirmed
    // what it does; all off, it left every changed pixel counted.
    auto saturated = [](std::int64_t n) { return static_cast<std::int32_t>(std::min<std::int64_t>(n, std::numeric_limits<std::int32_t>::max())); };
    cycle_.brightCounted = saturated(detected_.brightCount);
    cycle_.darkCounted = saturated(detected_.darkCount);
    cycle_.changed = std::int64_t(cycle_.brightCounted) + cycle_.darkCounted;
    const std::int64_t pixels = std::int64_t(cycle_.frame->width()) * cycle_.frame->height();
    cycle_.percent = pixels > 0 ? cycle_.changed * 100 / pixels : 0;
    // A comparison that did not take place never counts as movement, whatever the
    // minimum: a negative one would otherwise take its zero counts for movement.
    cycle_.moving = cycle_.compared == 0 && cycle_.changed > settings.minimalMovement;
    cycle_.confirmed = cycle_.moving && detected_.confirmed;
    if (cycle_.compared == 0 && detected_.rejection != analysis::Rejection::None)
        cycle_.reason = analysis::rejectionText(detected_.rejection);
}

void Evaluation::act(const CycleSettings& settings)
{
    if (!cycle_.confirmed)
        return;
    if (settings.beepOnMove) {
        platform::beep();
        cycle_.beeped = true;
    }
    if (settings.saveOnMove) {
        const std::string name =
            saveFolder_ + '/' +
            analysis::timeOfDayText(analysis::millisecondsSinceLocalMidnight(),
                                    QLocale::system().decimalPoint().toStdString()) +
            ".bmp";
        if (roomForSave_ && !roomForSave_(analysis::bmpFileSize(*cycle_.frame))) {
            cycle_.saveSkipped = "Not saved: no room for " + name;
            return;
        }
        try {
            analysis::saveBmp(*cycle_.frame, name);
            cycle_.savedFile = name;
        } catch (const analysis::SaveError& e) {
            if (outOfRoom(e.code())) {
                cycle_.saveSkipped = std::string(e.what()) + ": " + e.code().message();
            } else {
                cycle_.saveError = e.what();
                cycle_.saveErrorReason = e.code().message();
            }
        } catch (const std::exception& e) {
            cycle_.saveError = e.what();
        }
    }
}

void Evaluation::addListener(CycleListener* listener)
{
    if (!listener)
        throw std::invalid_argument("no listener");
    listeners_.push_back(listener);
}

void Evaluation::removeListener(CycleListener* listener)
{
    std::erase(listeners_, listener);
}

} // namespace watch
