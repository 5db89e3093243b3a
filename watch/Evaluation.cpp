#include "Evaluation.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include <QImage>
#include <QLocale>

#include "Beep.h"
#include "ClipboardFrame.h"
#include "CompareFrames.h"
#include "SavedFrame.h"
#include "VelkoGraph.h"

namespace watch {

namespace {

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

Frame frameFromImage(const QImage& image)
{
    return {platform::bitmapFromImage(image), image.text("stream").toStdString()};
}

Evaluation::Evaluation() = default;

Evaluation::~Evaluation() = default;

void Evaluation::takeReference(const Frame& frame)
{
    if (analysis::ToGrayscale(frame.colour, reference_) == 0)
        referenceStream_ = frame.stream;
}

const Cycle& Evaluation::evaluate(Frame frame, const CycleSettings& settings)
{
    return run(std::make_shared<const analysis::Bitmap>(std::move(frame.colour)), std::move(frame.stream), settings);
}

const Cycle& Evaluation::evaluate(const QImage& image, const CycleSettings& settings)
{
    cycle_ = Cycle{}; // lets go of the pictures of the last cycle
    std::shared_ptr<analysis::Bitmap> colour = recycled(frames_);
    platform::bitmapFromImage(image, *colour);
    return run(std::move(colour), image.text("stream").toStdString(), settings);
}

const Cycle& Evaluation::run(std::shared_ptr<const analysis::Bitmap> colour, std::string stream,
                             const CycleSettings& settings)
{
    cycle_ = Cycle{};
    cycle_.time = std::chrono::system_clock::now();
    cycle_.frame = colour;
    // A frame that does not convert leaves the cycle without a gray frame, and so the
    // next cycle without a reference.
    if (analysis::ToGrayscale(*colour, gray_) != 0)
        gray_ = analysis::Bitmap();

    // The first frame of a new connection may show anything (a gray start-up picture, a
    // different exposure): it only becomes the reference, so a reconnect never counts.
    cycle_.newStream = stream != referenceStream_;
    if (cycle_.newStream)
        cycle_.reason = "new connection";
    else
        compare(settings.threshold);

    std::swap(reference_, gray_);
    referenceStream_ = std::move(stream);

    decide(settings);
    act(settings);
    for (CycleListener* listener : listeners_)
        listener->cycleEvaluated(cycle_);
    return cycle_;
}

void Evaluation::compare(std::uint8_t threshold)
{
    std::shared_ptr<analysis::Bitmap> difference = recycled(differences_);
    cycle_.compared = analysis::CompareFrames(reference_, gray_, *difference, threshold, cycle_.result);
    if (cycle_.compared != 0) {
        // Refused: no counts, no centre, no picture.
        cycle_.result = {};
        cycle_.reason = "frames not comparable";
        return;
    }
    cycle_.difference = std::move(difference);
    cycle_.centred = cycle_.result.BrightCount > 0 && cycle_.result.DarkCount > 0;
    if (cycle_.centred)
        cycle_.centre = cycle_.result.Centre;
}

void Evaluation::decide(const CycleSettings& settings)
{
    // The detection stage plugs in here: it discounts what it does not take for movement
    // and confirms what it does. Without it every changed pixel counts.
    cycle_.brightCounted = cycle_.result.BrightCount;
    cycle_.darkCounted = cycle_.result.DarkCount;
    cycle_.changed = std::int64_t(cycle_.brightCounted) + cycle_.darkCounted;
    const std::int64_t pixels = std::int64_t(cycle_.frame->width()) * cycle_.frame->height();
    cycle_.percent = pixels > 0 ? cycle_.changed * 100 / pixels : 0;
    // A comparison that did not take place never counts as movement, whatever the
    // minimum: a negative one would otherwise take its zero counts for movement.
    cycle_.moving = cycle_.compared == 0 && cycle_.changed > settings.minimalMovement;
    cycle_.confirmed = cycle_.moving;
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
        try {
            analysis::saveBmp(*cycle_.frame, name);
            cycle_.savedFile = name;
        } catch (const analysis::SaveError& e) {
            cycle_.saveError = e.what();
            cycle_.saveErrorReason = e.code().message();
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
