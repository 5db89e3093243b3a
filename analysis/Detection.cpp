#include "Detection.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "DetectionKernels.h"
#include "Mask.h"
#include "Popcount.h"
#include "SmallAreas.h"

namespace analysis {

namespace {

// The noise is measured on every fourth row: plenty per tile, a quarter of the work.
constexpr int noiseRowStep = 4;
// A mid-tone shift of at least this many levels (or a switch to or from infrared) is a
// change of the scene's light; below one level the frames are compared as they are.
constexpr double lightChangeLevels = 2.0, compensatedLevels = 1.0;
// A colourfulness below this is a gray (infrared) picture; at least `colourful` is colour.
constexpr double grayPicture = 2.0, colourful = 8.0;
// The share of the frame (1 in this many pixels) that must have changed before the light is fitted.
constexpr std::int64_t lightChangeShare = 32;

bool samePicture(const Bitmap& a, const Bitmap& b)
{
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), static_cast<std::size_t>(a.width())) != 0)
            return false;
    return true;
}

} // namespace

DetectionSettings DetectionSettings::robust()
{
    DetectionSettings s;
    s.light = s.noise = s.specks = s.mask = s.confirm = s.scene = true;
    return s;
}

DetectionSettings DetectionSettings::bounded() const
{
    DetectionSettings s = *this;
    s.noiseFactor = std::isfinite(noiseFactor) ? std::clamp(noiseFactor, 1.0, 20.0) : 3.0;
    s.speckSize = std::clamp(speckSize, 2, 32);
    s.confirmWindow = std::clamp(confirmWindow, 1, Confirmation::longestWindow);
    s.confirmNeeded = std::clamp(confirmNeeded, 1, s.confirmWindow);
    return s;
}

const char* rejectionText(Rejection why)
{
    switch (why) {
    case Rejection::None: return "";
    case Rejection::LightChange: return "light change";
    case Rejection::Noise: return "noise";
    case Rejection::Specks: return "specks";
    case Rejection::Masked: return "masked";
    case Rejection::NotConfirmed: return "not confirmed yet";
    }
    return "";
}

void Detection::setSettings(const DetectionSettings& settings)
{
    settings_ = settings.bounded();
    confirmation_.setRule(settings_.confirmNeeded, settings_.confirmWindow);
}

void Detection::setMask(Bitmap mask)
{
    if (!mask.empty() && mask.format() != PixelFormat::Bits8)
        throw std::invalid_argument("A mask is an 8-bit picture");
    mask_ = std::move(mask);
    maskChanged_ = true;
}

void Detection::loadMask(const std::string& fileName)
{
    Bitmap mask = readMaskPgm(fileName);
    // Scaling keeps a mask on its places only when the shapes agree (within a pixel's rounding).
    if (width_ > 0 && std::abs(std::int64_t(mask.width()) * height_ - std::int64_t(mask.height()) * width_) >
                          std::max<std::int64_t>(mask.width(), mask.height()) * 2)
        throw std::runtime_error("Cannot use " + fileName + " as a mask: its size " + std::to_string(mask.width()) +
                                 " x " + std::to_string(mask.height()) + " does not have the shape of the frame (" +
                                 std::to_string(width_) + " x " + std::to_string(height_) + ")");
    setMask(std::move(mask));
}

void Detection::saveMask(const std::string& fileName) const
{
    writeMaskPgm(mask_, fileName);
}

void Detection::reset()
{
    noise_.resize(width_, height_);
    confirmation_.forget();
    lastColourfulness_ = -1;
    scene_.reset();
    last_ = {};
    repeats_ = 0;
}

void Detection::fitFrame(int width, int height)
{
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    for (BitPlane* plane : {&bright_, &dark_, &moved_})
        plane->resize(width, height);
    noise_.resize(width, height);
    lastColourfulness_ = -1;
    maskChanged_ = true;
    rowThresholds_.assign(static_cast<std::size_t>(width + 31) / 32, 0);
    groupSums_.assign(static_cast<std::size_t>(width) / 8 + 1, 0);
    tileSums_.assign(static_cast<std::size_t>(noise_.columns() * noise_.rows()), 0);
    tilePixels_.assign(tileSums_.size(), 0);
}

DetectionResult Detection::evaluate(const Bitmap& earlier, const Bitmap& later, const Bitmap& colour,
                                    std::uint8_t threshold, std::int64_t minimalMovement,
                                    const MovementResult& compared)
{
    DetectionResult result;
    ranPixels_ = false;
    const bool comparable = earlier.format() == PixelFormat::Bits8 && later.format() == PixelFormat::Bits8 &&
                            earlier.width() == later.width() && earlier.height() == later.height();
    if (!comparable)
        return result;
    const std::int64_t rawChanged = std::int64_t(compared.BrightCount) + compared.DarkCount;
    const bool pixelStages = settings_.light || settings_.noise || settings_.specks || settings_.mask;
    // A picture the camera sent again (a low frame rate padded to a higher one, or a grab
    // faster than the camera) shows nothing new: the cycle repeats the last verdict, so
    // that it neither breaks up the confirmation of movement that runs across the real
    // pictures around it nor teaches the noise levels that the scene has none.
    if ((pixelStages || settings_.confirm || settings_.scene) && rawChanged == 0 && minimalMovement >= 0 &&
        samePicture(earlier, later)) {
        // The frame's size and the first picture's colour (to see the colour go later) are
        // still worth knowing.
        if (pixelStages && !settings_.scene)
            fitFrame(earlier.width(), earlier.height());
        if (settings_.light && lastColourfulness_ < 0 && colour.format() == PixelFormat::Bgr24 &&
            colour.width() == earlier.width() && colour.height() == earlier.height())
            lastColourfulness_ = colourfulness(colour);
        result = last_;
        ++repeats_;
        result.lightChange = result.infrared = false; // the light held
        result.moving = result.changed() > minimalMovement;
        result.confirmed = result.confirmed && result.moving;
        ranPixels_ = sceneRan_ = false;
        return result;
    }
    if (settings_.scene) {
        last_ = evaluateScene(earlier, later, rawChanged, threshold, minimalMovement);
        return last_;
    }
    sceneRan_ = false;
    if (!pixelStages || earlier.empty()) {
        result.brightCount = compared.BrightCount;
        result.darkCount = compared.DarkCount;
        result.moving = rawChanged > minimalMovement;
        result.confirmed = settings_.confirm ? confirmation_.record(result.moving) : result.moving;
        if (result.moving && !result.confirmed)
            result.rejection = Rejection::NotConfirmed;
        last_ = result;
        return result;
    }

    fitFrame(earlier.width(), earlier.height());
    ranPixels_ = true;

    // The light: fit the scene's change and see whether the colour went or came back.
    Compensation compensation;
    double lightFloor = 0;
    if (settings_.light) {
        if (colour.format() == PixelFormat::Bgr24 && colour.width() == width_ && colour.height() == height_) {
            const double now = colourfulness(colour);
            result.infrared = lastColourfulness_ >= 0 && ((lastColourfulness_ >= colourful && now < grayPicture) ||
                                                          (lastColourfulness_ < grayPicture && now >= colourful));
            lastColourfulness_ = now;
        }
        // A change of the scene's light moves most of its pixels; while the comparison
        // found few changed, the light held (or changed by less than the threshold).
        const std::int64_t pixels = std::int64_t(width_) * height_;
        if (result.infrared || rawChanged > pixels / lightChangeShare)
            result.light = fitLightModel(earlier, later);
        const double shift = result.light.largestShift();
        result.lightChange = result.infrared || shift >= lightChangeLevels;
        if (shift >= compensatedLevels)
            compensation = Compensation::of(result.light);
        // What the line does not explain (light that falls unevenly, infrared's other
        // gray levels) spreads the pixels around it; such spread is no movement.
        if (result.lightChange)
            lightFloor = settings_.noiseFactor * result.light.residualScale;
    }

    // The comparison, row by row, under each tile's threshold.
    const kernels::DetectRow detectRow = kernels::bestDetectRow();
    const bool measureNoise = settings_.noise && !result.lightChange;
    std::fill(tileSums_.begin(), tileSums_.end(), 0);
    std::fill(tilePixels_.begin(), tilePixels_.end(), 0);
    spans_.clear(); // the rows with a changed pixel, and where: all the steps below need to visit
    const int tileWidth = noise_.tileWidth(), tileHeight = noise_.tileHeight();
    const std::size_t groups = groupSums_.size();
    const auto floor = static_cast<std::uint8_t>(std::min(255.0, std::ceil(lightFloor)));
    for (int tileRow = 0; tileRow < noise_.rows(); ++tileRow) {
        for (int column = 0; column < noise_.columns(); ++column) {
            const std::uint8_t t = settings_.noise ? noise_.threshold(column, tileRow, threshold, settings_.noiseFactor)
                                                   : threshold;
            const std::uint8_t value = std::max(t, floor);
            const int from = column * tileWidth / 32, to = std::min((width_ + 31) / 32, (column + 1) * tileWidth / 32);
            std::fill(rowThresholds_.begin() + from, rowThresholds_.begin() + to, value);
        }
        std::fill(groupSums_.begin(), groupSums_.end(), 0);
        const int top = tileRow * tileHeight, bottom = std::min(height_, top + tileHeight);
        int measuredRows = 0;
        for (int y = top; y < bottom; ++y) {
            const bool measured = measureNoise && y % noiseRowStep == 0;
            measuredRows += measured;
            const Span changed = detectRow(earlier.row(y), later.row(y), width_, compensation, rowThresholds_.data(),
                                           bright_.row(y), dark_.row(y), measured ? groupSums_.data() : nullptr);
            if (!changed.empty())
                spans_.push_back({y, changed});
        }
        if (measuredRows > 0) {
            for (int column = 0; column < noise_.columns(); ++column) {
                const std::size_t first = static_cast<std::size_t>(column * tileWidth / 8);
                const std::size_t last = std::min(groups, static_cast<std::size_t>((column + 1) * tileWidth / 8));
                std::uint64_t sum = 0;
                for (std::size_t g = first; g < last; ++g)
                    sum += groupSums_[g];
                const std::size_t tile = static_cast<std::size_t>(tileRow * noise_.columns() + column);
                tileSums_[tile] = sum;
                tilePixels_[tile] = std::int64_t(measuredRows) *
                                    (std::min(width_, (column + 1) * tileWidth) - column * tileWidth);
            }
        }
    }
    // Outside the spans the bright and dark planes hold the kernel's zeros, so the steps
    // below that narrow what counts need to visit the spans only.
    const std::int64_t afterLight = countBitsInSpans(bright_, &dark_, spans_);

    // The mask.
    std::int64_t afterMask = afterLight;
    if (settings_.mask && !mask_.empty()) {
        if (maskChanged_) {
            maskBits(mask_, width_, height_, maskBits_);
            markMaskedTiles();
            maskChanged_ = false;
        }
        for (const RowSpan& r : spans_) {
            std::uint64_t *b = bright_.row(r.y), *d = dark_.row(r.y);
            const std::uint64_t* m = maskBits_.row(r.y);
            for (int i = r.span.first; i < r.span.last; ++i) {
                b[i] &= m[i];
                d[i] &= m[i];
            }
        }
        afterMask = countBitsInSpans(bright_, &dark_, spans_);
    }

    // The specks, removed from the changed area as a whole: where brightened and darkened
    // pixels meet they make one area.
    // When too little changed to count, removing specks changes nothing of the verdict;
    // the noise is then learnt away from every changed pixel rather than from the areas.
    const bool areas = (settings_.specks || measureNoise) && afterMask > minimalMovement;
    if (settings_.specks || measureNoise) {
        for (const RowSpan& r : spans_) {
            const std::uint64_t *b = bright_.row(r.y), *d = dark_.row(r.y);
            std::uint64_t* m = moved_.row(r.y);
            for (int i = r.span.first; i < r.span.last; ++i)
                m[i] = b[i] | d[i];
        }
        if (areas)
            removeSpecks(moved_, spans_, settings_.specks ? settings_.speckSize : 3, specks_);
        if (measureNoise)
            learnNoise(moved_);
    }
    if (settings_.specks && areas)
        for (const RowSpan& r : spans_) {
            std::uint64_t *b = bright_.row(r.y), *d = dark_.row(r.y);
            const std::uint64_t* m = moved_.row(r.y);
            for (int i = r.span.first; i < r.span.last; ++i) {
                b[i] &= m[i];
                d[i] &= m[i];
            }
        }
    result.brightCount = countBitsInSpans(bright_, nullptr, spans_);
    result.darkCount = countBitsInSpans(dark_, nullptr, spans_);

    result.moving = result.changed() > minimalMovement;
    result.confirmed = settings_.confirm ? confirmation_.record(result.moving) : result.moving;
    if (result.moving && !result.confirmed)
        result.rejection = Rejection::NotConfirmed;
    else if (!result.moving && rawChanged > minimalMovement) {
        if (afterLight <= minimalMovement)
            result.rejection = compensation.on || result.lightChange ? Rejection::LightChange : Rejection::Noise;
        else if (afterMask <= minimalMovement)
            result.rejection = Rejection::Masked;
        else
            result.rejection = Rejection::Specks;
    }
    last_ = result;
    return result;
}

DetectionResult Detection::evaluateScene(const Bitmap& earlier, const Bitmap& later, std::int64_t rawChanged,
                                         std::uint8_t threshold, std::int64_t minimalMovement)
{
    DetectionResult result;
    // A new watch starts from the earlier picture, so its first cycle compares as a pair does.
    if (!scene_.learnt())
        scene_.update(earlier, {}, {});
    const int b = SceneModel::binningFor(later.width(), later.height());
    const int w = std::max(1, later.width() / b), h = std::max(1, later.height() / b);
    if (settings_.mask && !mask_.empty()) {
        if (maskChanged_ || sceneWatched_.size() != std::size_t(w) * std::size_t(h)) {
            // Each analysis pixel is watched as the mask, scaled to the frame, is at its centre.
            sceneWatched_.resize(std::size_t(w) * std::size_t(h));
            for (int y = 0; y < h; ++y) {
                const int my = int((std::int64_t(y) * b + b / 2) * mask_.height() / later.height());
                for (int x = 0; x < w; ++x) {
                    const int mx = int((std::int64_t(x) * b + b / 2) * mask_.width() / later.width());
                    sceneWatched_[std::size_t(y) * std::size_t(w) + std::size_t(x)] = mask_.row(my)[mx] != 0;
                }
            }
            maskChanged_ = false;
        }
    } else {
        sceneWatched_.clear();
    }
    SceneRules rules;
    rules.threshold = threshold;
    rules.light = settings_.light;
    rules.noise = settings_.noise;
    rules.noiseFactor = settings_.noiseFactor;
    rules.specks = settings_.specks;
    rules.trackCycles = settings_.confirm ? settings_.confirmNeeded : 1;
    rules.elapsed = 1 + repeats_;
    repeats_ = 0;
    const SceneCounts counts = scene_.update(later, sceneWatched_, rules);
    ranPixels_ = false;
    sceneRan_ = true;
    const std::int64_t area = std::int64_t(b) * b;
    result.brightCount = counts.bright * area;
    result.darkCount = counts.dark * area;
    result.lightChange = counts.lightChange;
    result.moving = result.changed() > minimalMovement;
    // The areas' tracks are the confirmation: an area counts once seen in enough cycles.
    result.confirmed = result.moving;
    if (!result.moving && rawChanged > minimalMovement) {
        if (counts.found * area <= minimalMovement)
            result.rejection = counts.lightChange ? Rejection::LightChange : Rejection::Noise;
        else if ((counts.found - counts.specks) * area <= minimalMovement)
            result.rejection = Rejection::Specks;
        else
            result.rejection = Rejection::NotConfirmed;
    }
    return result;
}

bool Detection::counted(int x, int y) const
{
    if (sceneRan_) {
        const int b = scene_.binning();
        return x / b < scene_.width() && y / b < scene_.height() && scene_.counted(x / b, y / b) != 0;
    }
    return bright_.test(x, y) || dark_.test(x, y);
}

void Detection::learnNoise(const BitPlane& moved)
{
    // A tile where something that is no speck changed is not quiet: it teaches nothing.
    // A tile the mask mostly hides learns nothing either: what moves there is the user's to ignore.
    std::vector<bool> busy = settings_.mask && !mask_.empty() ? maskedTiles_ : std::vector<bool>(tileSums_.size());
    const int tileWidth = noise_.tileWidth(), tileHeight = noise_.tileHeight(), columns = noise_.columns();
    for (const RowSpan& r : spans_) {
        const std::uint64_t* row = moved.row(r.y);
        const int tileRow = r.y / tileHeight;
        for (int i = r.span.first; i < r.span.last; ++i) {
            if (!row[i])
                continue;
            const int first = (64 * i + std::countr_zero(row[i])) / tileWidth;
            const int last = (64 * i + 63 - std::countl_zero(row[i])) / tileWidth;
            for (int column = first; column <= last; ++column)
                busy[static_cast<std::size_t>(tileRow * columns + column)] = true;
        }
    }
    for (int tileRow = 0; tileRow < noise_.rows(); ++tileRow)
        for (int column = 0; column < columns; ++column) {
            const std::size_t tile = static_cast<std::size_t>(tileRow * columns + column);
            if (!busy[tile])
                noise_.learn(column, tileRow, tileSums_[tile], tilePixels_[tile]);
        }
}

void Detection::markMaskedTiles()
{
    const int tileWidth = noise_.tileWidth(), tileHeight = noise_.tileHeight(), columns = noise_.columns();
    std::vector<std::int64_t> watched(tileSums_.size(), 0);
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x)
            watched[static_cast<std::size_t>((y / tileHeight) * columns + x / tileWidth)] += maskBits_.test(x, y);
    maskedTiles_.assign(watched.size(), false);
    for (std::size_t tile = 0; tile < watched.size(); ++tile)
        maskedTiles_[tile] = 2 * watched[tile] < std::int64_t(tileWidth) * tileHeight;
}

void Detection::fadeDiscounted(Bitmap& difference) const
{
    if (sceneRan_ && difference.format() == PixelFormat::Bgr24) {
        for (int y = 0; y < difference.height(); ++y) {
            std::uint8_t* p = difference.row(y);
            for (int x = 0; x < difference.width(); ++x, p += 3)
                if (p[1] == 0 && !counted(x, y))
                    for (int c = 0; c < 3; ++c)
                        p[c] = static_cast<std::uint8_t>((p[c] + 3 * 255) / 4);
        }
        return;
    }
    if (!ranPixels_ || difference.width() != width_ || difference.height() != height_ ||
        difference.format() != PixelFormat::Bgr24)
        return;
    for (int y = 0; y < height_; ++y) {
        std::uint8_t* p = difference.row(y);
        const std::uint64_t* b = bright_.row(y);
        const std::uint64_t* d = dark_.row(y);
        for (int x = 0; x < width_; ++x, p += 3) {
            // Changed pixels are the ones without green; white and silver are unchanged.
            if (p[1] != 0 || ((b[x / 64] | d[x / 64]) >> (x % 64)) & 1)
                continue;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>((p[c] + 3 * 255) / 4);
        }
    }
}

std::size_t Detection::stateBytes() const
{
    if (settings_.scene)
        return scene_.stateBytes() + sceneWatched_.capacity();
    std::size_t bytes = static_cast<std::size_t>(mask_.width()) * static_cast<std::size_t>(mask_.height());
    for (const BitPlane* plane : {&maskBits_, &bright_, &dark_, &moved_})
        bytes += plane->bits.capacity() * sizeof(std::uint64_t);
    bytes += specks_.bytes() + spans_.capacity() * sizeof(RowSpan) + rowThresholds_.capacity() +
             (groupSums_.capacity() + tileSums_.capacity() + tilePixels_.capacity()) * 8 +
             static_cast<std::size_t>(noise_.columns() * noise_.rows()) * sizeof(double);
    return bytes;
}

} // namespace analysis
