#include "SceneModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace analysis {

namespace {

// The analysis picture holds about this many pixels, whatever the frame's size.
constexpr double analysisPixels = 160.0 * 120.0;
// Light is fitted, and noise learnt, in blocks of this many pixels a side.
constexpr int block = 8;
// The picture may be shifted against the scene by up to this many pixels each way.
constexpr int largestShift = 2;
// A shift is taken when it matches the scene clearly better than none: by this share.
constexpr double shiftGain = 0.9;
// A block's own light fit is trusted when its texture is kept this well (correlation).
constexpr double keptTexture = 0.85;
// A block whose mean moved by at most this many levels may keep the scene's light.
constexpr double heldMean = 2;
// The scene follows quiet pixels with weight 1 / 2^k per cycle (about 4 s at 4 cycles a
// second), changed ones far slower so that a person who stops stays seen, and after this
// many cycles changed (a parked car, a door left open) as fast as quiet ones.
constexpr int quietRate = 4, changedRate = 9, relearnRate = 2;
constexpr int absorbAfter = 200;
constexpr int warmUpCycles = 8;
// An area counts from this share of the picture (1 / n) up: a snow flake close to the lens is smaller.
constexpr std::int64_t smallestShare = 1000;
// An area counts when at least this share of it lies where an area was in the cycle before.
constexpr double trackedShare = 0.5;
constexpr std::int64_t trackedArea = 2; // in the smallest areas that count
constexpr int near = 1, farthest = 6;
// The count of new flake-sized areas in a cycle from which the scene is cluttered; it is
// remembered, fading by a quarter a cycle.
constexpr float clutterMemory = 0.75f, clutteredAt = 6;
constexpr int slowCameraCycles = 3; // a picture shown this many cycles or more is from a slow camera
constexpr std::int64_t flakeAreas = 4; // a flake is smaller than this many of the smallest areas that count // pixels an area may move in a cycle, and after several
constexpr int clippedHigh = 250, clippedLow = 5;
// An area is light on its scene when the scene has this much texture (a variance) and the
// fit leaves at most this share of the picture's variance.
constexpr int spreadPasses = 6;
constexpr double minimumTexture = 64, keptResidual = 0.2;

// Solves the 4 x 4 system a x = b in place (Gaussian elimination); false when singular.
bool solve4(double a[4][4], double b[4])
{
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::abs(a[r][c]) > std::abs(a[pivot][c]))
                pivot = r;
        if (std::abs(a[pivot][c]) < 1e-9)
            return false;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (int r = 0; r < 4; ++r) {
            if (r == c)
                continue;
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < 4; ++k)
                a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int c = 0; c < 4; ++c)
        b[c] /= a[c][c];
    return true;
}

// Whether an area's picture is its scene under light that varies smoothly across it: the
// scene textured, and the fit leaving little of the picture's variation.
bool keptItsTexture(const double (&sums)[4][4], const double (&xp)[4], double pp, double n, double threshold)
{
    if (n < 16)
        return false;
    const double meanS = sums[0][3] / n, varS = sums[0][0] / n - meanS * meanS;
    const double meanP = xp[3] / n, varP = pp / n - meanP * meanP;
    if (varS < minimumTexture || varP <= 0)
        return false;
    double a[4][4], b[4] = {xp[0], xp[1], xp[2], xp[3]};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            a[r][c] = r <= c ? sums[r][c] : sums[c][r];
    if (!solve4(a, b))
        return false;
    const double residual = std::max(0.0, pp - (b[0] * xp[0] + b[1] * xp[1] + b[2] * xp[2] + b[3] * xp[3])) / n;
    return residual <= keptResidual * varP && std::sqrt(residual) <= threshold;
}

// The first x from `x` on where row[x] is not 0, or n: eight bytes at a time, as changes
// are sparse.
int nextSet(const std::uint8_t* row, int x, int n)
{
    for (; x + 8 <= n; x += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        if (word != 0)
            break;
    }
    while (x < n && !row[x])
        ++x;
    return x;
}

// Calls f(above, row, below, count) over the picture's rows from `from` to `to` with the
// rows above and below them (the edges repeated), as offsets into it: the picture's first
// row, the rows between as one long row, its last.
template <typename F>
void withNeighbourRows(int w, int h, int from, int to, F f)
{
    const std::size_t width = std::size_t(w);
    auto at = [&](int y) { return std::size_t(y) * width; };
    if (from == 0)
        f(0, 0, at(std::min(1, h - 1)), width);
    const int first = std::max(from, 1), last = std::min(to, h - 1);
    if (first < last)
        f(at(first - 1), at(first), at(first + 1), std::size_t(last - first) * width);
    if (to == h && h > 1)
        f(at(h - 2), at(h - 1), at(h - 1), width);
}

// Fills `rows` rows of `w` pixels at `out` with each block's value(bx).
template <typename T, typename V>
void fillBlocks(T* out, int w, int rows, int blockColumns, V value)
{
    for (int bx = 0; bx < blockColumns; ++bx)
        std::fill_n(out + bx * block, std::min(block, w - bx * block), T(value(bx)));
    for (int r = 1; r < rows; r *= 2) // the rows filled so far, copied at once
        std::copy_n(out, std::size_t(std::min(r, rows - r)) * std::size_t(w), out + std::size_t(r) * std::size_t(w));
}

int find(std::vector<std::int32_t>& parent, int i)
{
    while (parent[std::size_t(i)] != i) {
        parent[std::size_t(i)] = parent[std::size_t(parent[std::size_t(i)])];
        i = parent[std::size_t(i)];
    }
    return i;
}

} // namespace

int SceneModel::binningFor(int frameWidth, int frameHeight)
{
    const double pixels = double(frameWidth) * double(frameHeight);
    return std::max(1, int(std::floor(std::sqrt(pixels / analysisPixels) + 0.5)));
}

void SceneModel::reset()
{
    scene_.clear();
    frameWidth_ = frameHeight_ = 0;
}

void SceneModel::start(int frameWidth, int frameHeight)
{
    frameWidth_ = frameWidth;
    frameHeight_ = frameHeight;
    bin_ = binningFor(frameWidth, frameHeight);
    width_ = std::max(1, frameWidth / bin_);
    height_ = std::max(1, frameHeight / bin_);
    blockColumns_ = (width_ + block - 1) / block;
    blockRows_ = (height_ + block - 1) / block;
    const std::size_t n = std::size_t(width_) * std::size_t(height_);
    const std::size_t blocks = std::size_t(blockColumns_) * std::size_t(blockRows_);
    scene_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        scene_[i] = std::uint16_t(picture_[i] << 8);
    age_.assign(n, 0);
    ageRows_.assign(std::size_t(height_), 0);
    state_.assign(n, 0);
    rowChanged_.assign(std::size_t(height_), 0);
    unknown_.assign(n, 0);
    unknownSet_ = false;
    previous_ = picture_;
    blockNoise_.assign(blocks, -1.0f);
    cycles_ = 0;
    clutter_ = 0;
    shiftX_ = shiftY_ = 0;
}

SceneCounts SceneModel::update(const Bitmap& gray, const std::vector<std::uint8_t>& watched, const SceneRules& rules)
{
    SceneCounts counts;
    if (gray.empty() || gray.format() != PixelFormat::Bits8)
        return counts;
    const kernels::SceneKernels& ops = kernels::bestSceneKernels();
    bin(gray, ops);
    if (scene_.empty() || gray.width() != frameWidth_ || gray.height() != frameHeight_) {
        start(gray.width(), gray.height());
        return counts;
    }
    if (watched.size() == picture_.size()) {
        watched_ = watched.data();
    } else {
        everywhere_.assign(std::size_t(block) * std::size_t(width_), 1);
        watched_ = nullptr;
    }
    sceneLevels_.resize(picture_.size());
    ops.roundLevels(scene_.data(), sceneLevels_.data(), int(picture_.size()));

    align(ops);
    fitLight(rules, ops);
    findChanges(rules, counts, ops);
    judgeAreas(rules, counts, ops);
    learn(counts, ops);
    watched_ = nullptr;
    return counts;
}

void SceneModel::bin(const Bitmap& gray, const kernels::SceneKernels& ops)
{
    // The picture binned to the analysis size: each pixel the rounded mean of b x b.
    const int b = binningFor(gray.width(), gray.height());
    const int w = std::max(1, gray.width() / b), h = std::max(1, gray.height() / b);
    picture_.resize(std::size_t(w) * std::size_t(h));
    if (b == 1) {
        for (int y = 0; y < h; ++y)
            std::copy_n(gray.row(y), w, picture_.data() + std::size_t(y) * std::size_t(w));
        return;
    }
    if (b == 2) {
        for (int y = 0; y < h; ++y)
            ops.halveRows(gray.row(2 * y), gray.row(2 * y + 1), picture_.data() + std::size_t(y) * std::size_t(w), w);
        return;
    }
    if (b == 4) {
        for (int y = 0; y < h; ++y)
            ops.quarterRows(gray.row(4 * y), gray.row(4 * y + 1), gray.row(4 * y + 2), gray.row(4 * y + 3),
                            picture_.data() + std::size_t(y) * std::size_t(w), w);
        return;
    }
    // Columns summed over b rows (b x 255 fits 16 bits for any frame there is), then
    // groups of b columns.
    const int used = w * b;
    const std::uint32_t area = std::uint32_t(b * b);
    columnSums_.resize(std::size_t(used));
    for (int y = 0; y < h; ++y) {
        std::fill(columnSums_.begin(), columnSums_.end(), 0);
        for (int r = 0; r < b; ++r)
            ops.addRow(gray.row(y * b + r), columnSums_.data(), used);
        std::uint8_t* out = picture_.data() + std::size_t(y) * std::size_t(w);
        if (b <= 16) {
            ops.binColumns(columnSums_.data(), out, w, b);
            continue;
        }
        const std::uint16_t* c = columnSums_.data();
        for (int x = 0; x < w; ++x, c += b) {
            std::uint32_t s = area / 2;
            for (int j = 0; j < b; ++j)
                s += c[j];
            out[x] = std::uint8_t(s / area);
        }
    }
}

void SceneModel::align(const kernels::SceneKernels& ops)
{
    // The mean absolute difference on every eighth row, for each shift, over a span of whole
    // vectors in the middle of the row.
    const int w = width_, h = height_;
    const int inner = w - 2 * largestShift, span = inner >= 64 ? inner / 32 * 32 : inner;
    const int left = largestShift + (inner - span) / 2;
    const int rows = (h - 2 * largestShift + 7) / 8;
    auto sadOf = [&](int dx, int dy, std::uint64_t bound) {
        return ops.absDifference(picture_.data() + std::size_t(largestShift) * std::size_t(w) + std::size_t(left),
                                 sceneLevels_.data() + std::size_t(largestShift + dy) * std::size_t(w) + std::size_t(left + dx),
                                 span, rows, 8 * std::ptrdiff_t(w), bound);
    };
    shiftX_ = shiftY_ = 0;
    if (w <= 4 * largestShift || h <= 4 * largestShift)
        return;
    const std::uint64_t still = sadOf(0, 0, std::numeric_limits<std::uint64_t>::max());
    if (still == 0)
        return;
    // A shift is taken when it matches the scene clearly better than none, and the best one
    // when several do: a shift's rows stop being summed once it can be neither.
    std::uint64_t best = std::uint64_t(std::floor(shiftGain * double(still))) + 1;
    for (int dy = -largestShift; dy <= largestShift; ++dy)
        for (int dx = -largestShift; dx <= largestShift; ++dx) {
            if (dx == 0 && dy == 0)
                continue;
            const std::uint64_t sad = sadOf(dx, dy, best - 1);
            if (sad < best) {
                best = sad;
                shiftX_ = dx;
                shiftY_ = dy;
            }
        }
}

void SceneModel::fitLight(const SceneRules& rules, const kernels::SceneKernels& ops)
{
    const int w = width_, h = height_;
    const std::size_t blocks = std::size_t(blockColumns_) * std::size_t(blockRows_);
    // The scene as this picture sees it: shifted, the edges repeated.
    if (shiftX_ == 0 && shiftY_ == 0) {
        aligned_.clear();
    } else {
        aligned_.resize(picture_.size());
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = sceneLevels_.data() + index(0, std::clamp(y + shiftY_, 0, h - 1));
            std::uint8_t* e = aligned_.data() + index(0, y);
            const int from = std::max(0, -shiftX_), to = std::min(w, w - shiftX_);
            for (int x = 0; x < from; ++x)
                e[x] = row[std::clamp(x + shiftX_, 0, w - 1)];
            std::copy(row + from + shiftX_, row + to + shiftX_, e + from);
            for (int x = std::max(from, to); x < w; ++x)
                e[x] = row[std::clamp(x + shiftX_, 0, w - 1)];
        }
    }
    expected_ = alignedScene();

    fits_.assign(blocks, Fit{});
    blockMoved_.assign(blocks, 0);
    // Where the scene was clipped and its light changed, its level in the new light is not
    // known: such a pixel never counts. (Cleared only where the light was applied.)
    if (std::exchange(unknownSet_, false))
        std::fill(unknown_.begin(), unknown_.end(), 0);
    if (!rules.light)
        return;
    std::vector<Sums>& sums = blockSums_;
    sums.resize(blocks);
    // Each block's sums from every other row: half of its pixels tell its light as well as
    // all of them. A block's sums fit 32 bits: 64 pixels of at most 255^2.
    lightBlocks_.resize(8 * blocks);
    for (int by = 0; by < blockRows_; ++by) {
        const int top = by * block;
        ops.lightSums(picture_.data() + index(0, top), expected_.data() + index(0, top), watchedRow(top), w,
                      watched_ ? w : 0, std::min(block, h - top), w,
                      lightBlocks_.data() + 8 * std::size_t(by) * std::size_t(blockColumns_));
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::int32_t* b = lightBlocks_.data() + 8 * k;
        sums[k] = {double(b[0]), double(b[1]), double(b[2]), double(b[3]), double(b[4]), double(b[5])};
    }
    // Each block's own fit where its texture is kept (a shadow, a lamp); elsewhere the fit
    // of a neighbour that explains the block best, when one explains it far better than
    // no change of light does (a flat stretch of ground inside a shadow).
    // A block whose mean held and that matches the scene within twice its noise keeps the
    // scene's light: it needs no fit, and lends none to its neighbours.
    own_.assign(blocks, 0);
    quiet_.assign(blocks, 0);
    std::vector<std::uint8_t>& own = own_;
    auto sse = [](const Sums& t, double a, double c) {
        return t.gg - 2 * a * t.gs - 2 * c * t.g + a * a * t.ss + 2 * a * c * t.s + t.n * c * c;
    };
    for (std::size_t k = 0; k < blocks; ++k) {
        const Sums& t = sums[k];
        const double noise = blockNoise_[k] > 0 ? 3.75 * double(blockNoise_[k]) : 2.0;
        const double noisy = std::max(16.0, 4 * noise * noise);
        if (t.n >= 4 && std::abs(t.g - t.s) <= heldMean * t.n && sse(t, 1, 0) <= noisy * t.n) {
            quiet_[k] = 1;
            continue;
        }
        if (t.n < block * block / 8)
            continue;
        // A flat scene, the commonest reason, is told first.
        const double ms = t.s / t.n, vs = t.ss / t.n - ms * ms;
        if (vs < noisy)
            continue;
        const double mg = t.g / t.n, vg = t.gg / t.n - mg * mg, cov = t.gs / t.n - mg * ms;
        if (vg <= 0)
            continue;
        if (cov / std::sqrt(vs * vg) < keptTexture)
            continue;
        const double gain = cov / vs;
        if (gain < 0.25 || gain > 4)
            continue;
        fits_[k] = {float(gain), float(mg - gain * ms)};
        own[k] = 1;
    }
    // The whole scene's light (a lamp, the exposure), fitted over the blocks that kept their texture.
    Sums all;
    for (std::size_t k = 0; k < blocks; ++k)
        if (own[k]) {
            all.n += sums[k].n;
            all.g += sums[k].g;
            all.s += sums[k].s;
            all.gg += sums[k].gg;
            all.ss += sums[k].ss;
            all.gs += sums[k].gs;
        }
    std::optional<Fit> scene;
    if (all.n > 0) {
        const double mg = all.g / all.n, ms = all.s / all.n;
        const double vs = all.ss / all.n - ms * ms, cov = all.gs / all.n - mg * ms;
        if (vs > 0)
            scene = Fit{float(cov / vs), float(mg - cov / vs * ms)};
    }
    // A fit spreads from block to block across flat ground (a road under a cloud's shadow)
    // as far as it keeps explaining the blocks it reaches.
    // A block whose neighbours' fits did not change since the last pass is judged as it
    // was then: only those next to a block reached in the last pass are judged again.
    fresh_ = own;
    std::vector<std::uint8_t>& fresh = fresh_;
    for (int pass = 0; pass < spreadPasses; ++pass) {
        bool spread = false;
        reached_ = own;
        std::vector<std::uint8_t>& reached = reached_;
        // The blocks next to one with a fit of its own (few, or few left to judge).
        ownNear_.assign(blocks, 0);
        for (int by = 0; by < blockRows_; ++by)
            for (int bx = 0; bx < blockColumns_; ++bx)
                if (own[std::size_t(by) * std::size_t(blockColumns_) + std::size_t(bx)])
                    for (int ny = std::max(0, by - 1); ny <= std::min(blockRows_ - 1, by + 1); ++ny)
                        std::fill_n(ownNear_.begin() + ny * blockColumns_ + std::max(0, bx - 1),
                                    std::min(blockColumns_ - 1, bx + 1) - std::max(0, bx - 1) + 1, 1);
        for (int by = 0; by < blockRows_; ++by)
            for (int bx = 0; bx < blockColumns_; ++bx) {
                const std::size_t k = std::size_t(by) * std::size_t(blockColumns_) + std::size_t(bx);
                const Sums& t = sums[k];
                if (own[k] || quiet_[k])
                    continue;
                // A block all clipped (or masked) takes the scene's light as it is.
                if (t.n < 4) {
                    if (scene && pass == 0)
                        fits_[k] = *scene;
                    continue;
                }
                const int top = std::max(0, by - 1), bottom = std::min(blockRows_ - 1, by + 1);
                const int left = std::max(0, bx - 1), right = std::min(blockColumns_ - 1, bx + 1);
                bool news = pass == 0;
                for (int ny = top; ny <= bottom && !news; ++ny)
                    for (int nx = left; nx <= right; ++nx)
                        news |= fresh[std::size_t(ny) * std::size_t(blockColumns_) + std::size_t(nx)] != 0;
                if (!news)
                    continue;
                const double still = sse(t, 1, 0);
                double best = still;
                Fit chosen;
                if (scene && sse(t, scene->gain, scene->offset) < best) {
                    best = sse(t, scene->gain, scene->offset);
                    chosen = *scene;
                }
                for (int ny = top; ny <= bottom && ownNear_[k]; ++ny)
                    for (int nx = left; nx <= right; ++nx) {
                        const std::size_t j = std::size_t(ny) * std::size_t(blockColumns_) + std::size_t(nx);
                        if (!own[j])
                            continue;
                        const double e = sse(t, fits_[j].gain, fits_[j].offset);
                        if (e < best) {
                            best = e;
                            chosen = fits_[j];
                        }
                    }
                if (best < 0.5 * still) {
                    fits_[k] = chosen;
                    reached[k] = 1;
                    spread = true;
                }
            }
        for (std::size_t k = 0; k < blocks; ++k)
            fresh[k] = reached[k] && !own[k];
        own.swap(reached);
        if (!spread)
            break;
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        const Sums& t = sums[k];
        if (t.n == 0 || (fits_[k].gain == 1 && fits_[k].offset == 0)) // a fit that changes nothing moves nothing
            continue;
        const double ms = t.s / t.n;
        blockMoved_[k] = std::abs(fits_[k].gain * ms + fits_[k].offset - ms) > 4;
    }
    // The expected picture in each block's light. Each block row's fits spread along a row,
    // over the runs of blocks whose light changed: the others keep their levels (their fit
    // gives them back as they are).
    gainRow_.resize(std::size_t(w));
    offsetRow_.resize(std::size_t(w));
    for (int by = 0; by < blockRows_; ++by) {
        const Fit* fit = fits_.data() + std::size_t(by) * std::size_t(blockColumns_);
        for (int bx = 0; bx < blockColumns_;) {
            if (fit[bx].gain == 1 && fit[bx].offset == 0) {
                ++bx;
                continue;
            }
            const int first = bx;
            for (; bx < blockColumns_ && !(fit[bx].gain == 1 && fit[bx].offset == 0); ++bx) {
                const int from = bx * block, count = std::min(block, w - from);
                std::fill_n(gainRow_.data() + from, count, fit[bx].gain);
                std::fill_n(offsetRow_.data() + from, count, fit[bx].offset);
            }
            const int from = first * block, count = std::min(bx * block, w) - from;
            unknownSet_ = true;
            for (int y = by * block; y < std::min(h, (by + 1) * block); ++y) {
                const std::size_t row = index(from, y);
                ops.applyLight(expected_.data() + row, gainRow_.data() + from, offsetRow_.data() + from,
                               unknown_.data() + row, count);
            }
        }
    }
}

void SceneModel::findChanges(const SceneRules& rules, SceneCounts& counts, const kernels::SceneKernels& ops)
{
    const int w = width_, h = height_;
    const std::size_t blocks = std::size_t(blockColumns_) * std::size_t(blockRows_);
    const std::size_t n = picture_.size();
    sums_.resize(n);
    expectedSums_.resize(n);
    boxColumns_.resize(std::size_t(block) * std::size_t(w));
    ops.boxSums(picture_.data(), sums_.data(), boxColumns_.data(), w, h);
    ops.boxSums(expected_.data(), expectedSums_.data(), boxColumns_.data(), w, h);

    // Each block's noise: the mean absolute difference of the smoothed pictures, on every
    // fourth row, the rows between in the next cycle.
    noiseBlocks_.resize(4 * blocks);
    for (int by = 0; by < blockRows_; ++by) {
        const int top = by * block, rows = std::min(block, h - top);
        const int measured = rows > 2 ? 2 * (cycles_ % 2) : 0;
        const std::size_t row = index(0, top + measured);
        ops.noiseSums(sums_.data() + row, expectedSums_.data() + row, expected_.data() + row, watchedRow(top + measured),
                      4 * w, watched_ ? 4 * w : 0, (rows - measured + 3) / 4, w,
                      noiseBlocks_.data() + 4 * std::size_t(by) * std::size_t(blockColumns_));
    }
    std::size_t moved = 0, seen = 0;
    count_.resize(blocks);
    blockMean_.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::int32_t difference = noiseBlocks_[4 * b], count = noiseBlocks_[4 * b + 2];
        count_[b] = count;
        seen += count > 0;
        moved += blockMoved_[b];
        // Both are integers below 2^24: the quotient in single precision is the one in double
        // precision rounded to single.
        blockMean_[b] = count > 0 ? float(difference) / float(9 * count) : 0.0f;
    }
    counts.lightChange = seen > 0 && 2 * moved > seen;
    // A block not measured before starts from the scene's typical noise: its own first
    // measurement may hold what moves in it.
    measured_.clear();
    if (std::any_of(blockNoise_.begin(), blockNoise_.end(), [](float noise) { return noise < 0; }))
        for (std::size_t b = 0; b < blocks; ++b)
            if (count_[b] > 0)
                measured_.push_back(blockMean_[b]);
    if (!measured_.empty()) {
        std::nth_element(measured_.begin(), measured_.begin() + std::ptrdiff_t(measured_.size() / 2), measured_.end());
        for (float& noise : blockNoise_)
            if (noise < 0)
                noise = measured_[measured_.size() / 2];
    }
    // The Pixel Variations hold for a mid-gray part of the scene and shrink with its light,
    // as a person's contrast does in the dark; the noise keeps them above it. A block whose
    // watched pixels all lie between the rows measured holds them whole.
    blockThreshold_.resize(blocks);
    const double noiseFactor = rules.noise ? rules.noiseFactor * 1.25 : 0.0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const double mean = count_[b] > 0 ? double(noiseBlocks_[4 * b + 1]) / double(std::max(count_[b], 1)) : 128.0;
        const double t = std::max(double(rules.threshold) * std::clamp(mean / 128.0, 0.25, 1.0),
                                  noiseFactor * double(blockNoise_[b]));
        blockThreshold_[b] = float(std::max(2.0, t));
    }

    // rowChanged_ holds the last cycle's rows until each block row is marked: only those can
    // hold a mark.
    // Each pixel's threshold on the 3 x 3 sums, a block row at a time. A limit above the
    // largest sum is as good as any larger one, and fits 16 bits.
    limits_.resize(std::size_t(block) * std::size_t(w));
    // The expected sums' 3 x 3 range: across rows here, along them as changes are marked.
    // One more at either end: marking reads past a row's ends and then mends them.
    low_.resize(n + 2);
    high_.resize(n + 2);
    const std::uint16_t *e = expectedSums_.data(), *low = low_.data() + 1, *high = high_.data() + 1;
    for (int by = 0; by < blockRows_; ++by) {
        const int top = by * block, rows = std::min(block, h - top);
        const float* threshold = blockThreshold_.data() + std::size_t(by) * std::size_t(blockColumns_);
        fillBlocks(limits_.data(), w, rows, blockColumns_,
                   [&](int bx) {
                       const float limit = 9 * threshold[bx];
                       const int whole = int(limit); // rounded up below, without a call to the library
                       return std::min(9 * 255 + 1, whole + (float(whole) < limit));
                   });
        const std::size_t first = index(0, top);
        std::uint8_t* state = state_.data() + first;
        // A pixel beyond the range is beyond its own expected sum: where none is, as in most
        // of a still scene, nothing is marked.
        if (!ops.beyondLimits(sums_.data() + first, e + first, limits_.data(), rows * w)) {
            for (int r = 0; r < rows; ++r)
                if (std::exchange(rowChanged_[std::size_t(top + r)], 0))
                    std::fill_n(state + std::size_t(r) * std::size_t(w), w, 0);
            continue;
        }
        withNeighbourRows(w, h, top, top + rows,
                          [&](std::size_t above, std::size_t row, std::size_t below, std::size_t count) {
                              ops.rangeColumn(e + above, e + row, e + below, low_.data() + 1 + row,
                                              high_.data() + 1 + row, int(count));
                          });
        // Ignored and unknown pixels never count.
        const int found = ops.markRange(sums_.data() + first, low + first, high + first, limits_.data(),
                                        watchedRow(top), unknown_.data() + first, state, rows * w, w);
        counts.found += found;
        for (int r = 0; r < rows; ++r)
            rowChanged_[std::size_t(top + r)] = found > 0 && nextSet(state + std::size_t(r) * std::size_t(w), 0, w) < w;
    }
}

void SceneModel::judgeAreas(const SceneRules& rules, SceneCounts& counts, const kernels::SceneKernels& ops)
{
    const int w = width_, h = height_;
    const std::size_t n = picture_.size();
    blockBusy_.assign(blockNoise_.size(), 0);
    // Only the rows that held an area in the last cycle hold ages.
    auto clearAges = [&](int y) {
        if (std::exchange(ageRows_[std::size_t(y)], 0))
            std::fill_n(age_.data() + index(0, y), w, 0);
    };
    if (counts.found == 0) {
        for (int y = 0; y < h; ++y)
            clearAges(y);
        clutter_ *= clutterMemory;
        return;
    }
    // The changed pixels' 8-connected areas (union-find over the picture), in one pass: a
    // pixel takes the label of the pixel above it, else of the one above and to its right
    // (joined with the one left of it, or above and left), else of either of those. Outside
    // the changed rows the labels stay -1 from cycle to cycle.
    if (labels_.size() != n)
        labels_.assign(n, -1);
    parent_.clear();
    auto labelAt = [&](int x, int y) { return y < 0 || x < 0 || x >= w ? -1 : labels_[index(x, y)]; };
    auto unite = [&](int a, int b) {
        a = find(parent_, a);
        b = find(parent_, b);
        parent_[std::size_t(std::max(a, b))] = std::min(a, b);
        return std::min(a, b);
    };
    int first = w, last = -1; // the columns that hold a changed pixel
    changed_.clear();         // and the pixels, for the passes below
    for (int y = 0; y < h; ++y) {
        if (!rowChanged_[std::size_t(y)])
            continue;
        const std::uint8_t* state = state_.data() + index(0, y);
        for (int x = nextSet(state, 0, w); x < w; x = nextSet(state, x + 1, w)) {
            changed_.push_back({x, y});
            first = std::min(first, x);
            last = std::max(last, x);
            int label = labelAt(x, y - 1);
            if (label < 0) {
                const int upRight = labelAt(x + 1, y - 1), upLeft = labelAt(x - 1, y - 1), left = labelAt(x - 1, y);
                label = upRight >= 0 ? (upLeft >= 0 ? unite(upRight, upLeft) : left >= 0 ? unite(upRight, left) : upRight)
                        : upLeft >= 0 ? upLeft
                        : left;
            }
            if (label < 0) {
                label = int(parent_.size());
                parent_.push_back(label);
            }
            labels_[index(x, y)] = label;
        }
    }

    // The largest age within reach: where an area was in the last picture. Along the rows
    // within reach of a changed one here, over the changed columns and those within reach
    // of them; across the rows for each changed pixel.
    work8_.resize(n);
    // After pictures sent again, what moves may have gone further, but in a cluttered scene
    // a wider reach would follow anything to anything.
    const bool wasCluttered = clutter_ >= clutteredAt;
    const int elapsed = wasCluttered ? 1 : rules.elapsed;
    const int reach = std::clamp(near * elapsed, near, farthest);
    const int from = std::max(0, first - reach), span = std::min(w, last + 1 + reach) - from;
    rowNeeded_.assign(std::size_t(h), 0);
    for (int y = 0; y < h; ++y)
        if (rowChanged_[std::size_t(y)])
            std::fill(rowNeeded_.begin() + std::max(0, y - reach), rowNeeded_.begin() + std::min(h, y + reach + 1), 1);
    for (int y = 0; y < h; ++y)
        if (rowNeeded_[std::size_t(y)])
            ops.largestAlong(age_.data() + index(from, y), work8_.data() + index(from, y), span, reach);
    auto ageNear = [&](int x, int y) {
        std::uint8_t largest = 0;
        for (int row = std::max(0, y - reach); row <= std::min(h - 1, y + reach); ++row)
            largest = std::max(largest, work8_[index(x, row)]);
        return largest;
    };

    const std::vector<std::uint8_t>& aligned = alignedScene();
    struct Area {
        std::int64_t pixels = 0, tracked = 0, moved = 0;
        int age = 0;
        bool counts = false;
        double threshold = 0;
        // For the fit of the picture as the scene under light that varies across the area,
        // p = (g + gx x + gy y) s + o: the sums of the products of s, s x, s y and p, exact
        // (at most 2^62 for any picture there is).
        std::int64_t ss = 0, ssx = 0, ssy = 0, s = 0, sxsx = 0, sxsy = 0, sx = 0, sysy = 0, sy = 0;
        std::int64_t sp = 0, sxp = 0, syp = 0, p = 0, pp = 0;
    };
    std::vector<Area> areas(parent_.size());
    float lightRatio = 1;
    if (counts.lightChange) {
        std::int64_t now = 0, before = 0;
        for (std::size_t i = 0; i < n; ++i) {
            now += picture_[i];
            before += previous_[i];
        }
        lightRatio = before > 0 ? float(double(now) / double(before)) : 1.0f;
    }
    for (const auto [x, y] : changed_) {
        const float* threshold = blockThreshold_.data() + std::size_t(y / block) * std::size_t(blockColumns_);
        const std::size_t i = index(x, y);
        const int root = find(parent_, labels_[i]);
        labels_[i] = root;
        Area& a = areas[std::size_t(root)];
        ++a.pixels;
        const int age = ageNear(x, y);
        a.tracked += age > 0;
        a.age = std::max(a.age, age);
        const std::int64_t sv = aligned[i], pv = picture_[i], sx = sv * x, sy = sv * y;
        a.ss += sv * sv;
        a.ssx += sv * sx;
        a.ssy += sv * sy;
        a.s += sv;
        a.sxsx += sx * sx;
        a.sxsy += sx * sy;
        a.sx += sx;
        a.sysy += sy * sy;
        a.sy += sy;
        a.sp += sv * pv;
        a.sxp += sx * pv;
        a.syp += sy * pv;
        a.p += pv;
        a.pp += pv * pv;
        a.threshold += threshold[x / block];
        if (counts.lightChange)
            a.moved += std::abs(float(picture_[i]) - lightRatio * float(previous_[i])) > threshold[x / block];
    }
    // Areas are measured against the analysis picture, the same share of every frame.
    const std::int64_t smallest = rules.specks ? std::max<std::int64_t>(4, std::int64_t(w) * h / smallestShare) : 1;
    int appeared = 0; // flake-sized areas that no track explains
    for (Area& a : areas) {
        if (a.pixels == 0)
            continue;
        // The positions in widths of the picture, which keeps the sums' sizes alike.
        const double w1 = w, w2 = w1 * w1;
        const double xx[4][4] = {{double(a.ss), double(a.ssx) / w1, double(a.ssy) / w1, double(a.s)},
                                 {0, double(a.sxsx) / w2, double(a.sxsy) / w2, double(a.sx) / w1},
                                 {0, 0, double(a.sysy) / w2, double(a.sy) / w1},
                                 {0, 0, 0, double(a.pixels)}};
        const double xp[4] = {double(a.sp), double(a.sxp) / w1, double(a.syp) / w1, double(a.p)};
        if (rules.light && keptItsTexture(xx, xp, double(a.pp), double(a.pixels), a.threshold / double(a.pixels))) {
            // A shadow (or light) falling across the area: no movement, no track.
            a.age = 0;
            continue;
        }
        // After pictures sent again, what moves may have gone further: less of it overlaps.
        // A large overlap is a track whatever its share (a person whose outline split or grew).
        const double share = double(a.tracked) * elapsed / double(a.pixels);
        const bool tracked = share >= trackedShare || (share >= trackedShare / 2 && a.tracked >= trackedArea * smallest);
        // While the whole scene's light changes, what it leaves unexplained for a moment
        // stands still; an area starts a track then only where the picture also moved.
        const bool starts = !counts.lightChange || double(a.moved) >= trackedShare * double(a.pixels);
        a.age = tracked ? a.age + 1 : starts ? 1 : 0;
        a.age = std::min(a.age, 255);
        appeared += !tracked && starts && a.pixels >= smallest / 4 && a.pixels < flakeAreas * smallest;
        if (a.pixels < smallest)
            counts.specks += a.pixels;
    }
    // Where things keep appearing at new places (snow, rain or insects at the lens), one
    // of them now and then lands where another was: an area must then have been followed
    // for a cycle more.
    clutter_ = std::max(float(appeared), clutterMemory * clutter_);
    const bool cluttered = clutter_ >= clutteredAt;
    // A camera slower than the evaluations shows each picture for several cycles: to wait
    // for its next picture would hold back the event by as many. A large area counts at its
    // first picture then, unless the scene is cluttered.
    const bool slowCamera = rules.elapsed >= slowCameraCycles && !cluttered;
    for (Area& a : areas) {
        // While the scene's light changes, what a shadow's edge leaves unexplained may hold
        // for a cycle or two: an area must then have been followed for a cycle more. In a
        // cluttered scene, two flakes side by side are no movement: an area counts from
        // twice the smallest size.
        const int needed = slowCamera && a.pixels >= trackedArea * smallest
                               ? 1
                               : rules.trackCycles + (cluttered ? 1 : 0) + (counts.lightChange ? 1 : 0);
        a.counts = a.pixels >= (cluttered ? trackedArea * smallest : smallest) && a.age >= needed;
    }
    for (int y = 0; y < h; ++y) {
        if (!rowChanged_[std::size_t(y)]) {
            clearAges(y);
            continue;
        }
        ageRows_[std::size_t(y)] = 1;
        std::fill_n(age_.data() + index(0, y), w, 0);
    }
    for (const auto [x, y] : changed_) {
        const std::size_t i = index(x, y);
        const Area& a = areas[std::size_t(std::exchange(labels_[i], -1))];
        age_[i] = std::uint8_t(a.age);
        blockBusy_[std::size_t(y / block) * std::size_t(blockColumns_) + std::size_t(x / block)] |= a.age > 0;
        if (!a.counts) {
            state_[i] = 0;
            continue;
        }
        counts.bright += state_[i] == 1;
        counts.dark += state_[i] == 2;
    }
}

void SceneModel::learn(const SceneCounts& counts, const kernels::SceneKernels& ops)
{
    const int w = width_, h = height_;
    // The first pictures teach the scene fast: what passed through the first picture (a
    // flake, a walker) would otherwise stay as a ghost.
    const bool warming = cycles_ < warmUpCycles;
    ++cycles_;
    const int quiet = counts.lightChange || warming ? relearnRate : quietRate;
    constexpr int ghostLevels = 8;
    // Quiet pixels teach the scene. While the whole scene's light changes, all of it is
    // learnt anew. Otherwise a region whose light is explained by a fit keeps its scene (a
    // cloud's shadow passes), as a changed area does, until either lasts long enough to be
    // the scene. Both are the picture's, a pixel for each.
    const std::size_t n = picture_.size();
    const int absorbed = counts.lightChange ? 0 : absorbAfter;
    moved_.resize(n);
    for (int by = 0; by < blockRows_; ++by) {
        const std::uint8_t* moved = blockMoved_.data() + std::size_t(by) * std::size_t(blockColumns_);
        fillBlocks(moved_.data() + index(0, by * block), w, std::min(block, h - by * block), blockColumns_,
                   [&](int bx) { return moved[bx]; });
    }
    // While warming up, what stands still where the scene differs is a ghost of the first
    // picture (what passed through it), not something that came: it is not held.
    const std::uint8_t* age = age_.data();
    if (warming) {
        ghostAge_ = age_;
        for (std::size_t i = 0; i < n; ++i)
            if (age_[i] > 0 && std::abs(int(picture_[i]) - int(previous_[i])) <= ghostLevels)
                ghostAge_[i] = moved_[i] = 0;
        age = ghostAge_.data();
    }
    // The picture's pixel that shows scene pixel (x, y) is (x - shift, y - shift).
    if (shiftX_ == 0 && shiftY_ == 0) {
        ops.learnRow(scene_.data(), picture_.data(), age, moved_.data(), int(n), absorbed, quiet, changedRate);
    } else {
        const int from = std::max(0, shiftX_), to = std::min(w, w + shiftX_);
        for (int y = std::max(0, shiftY_); y < std::min(h, h + shiftY_) && from < to; ++y) {
            const std::size_t p = index(from - shiftX_, y - shiftY_);
            ops.learnRow(scene_.data() + index(from, y), picture_.data() + p, age + p, moved_.data() + p, to - from,
                         absorbed, quiet, changedRate);
        }
    }
    previous_.swap(picture_);
    // Each quiet block's noise.
    for (std::size_t b = 0; b < blockNoise_.size(); ++b)
        if (count_[b] > 0 && (!blockBusy_[b] || blockMean_[b] < blockNoise_[b]))
            blockNoise_[b] += (blockMean_[b] - blockNoise_[b]) / 8;
}

std::size_t SceneModel::stateBytes() const
{
    return scene_.capacity() * sizeof(std::uint16_t) + age_.capacity() + previous_.capacity() + blockNoise_.capacity() * sizeof(float);
}

} // namespace analysis
