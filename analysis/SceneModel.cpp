#include "SceneModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

namespace analysis {

namespace {

// The analysis picture holds about this many pixels, whatever the frame's size.
constexpr double analysisPixels = 320.0 * 240.0;
// Light is fitted, and noise learnt, in blocks of this many pixels a side.
constexpr int block = 8;
// The picture may be shifted against the scene by up to this many pixels each way.
constexpr int largestShift = 2;
// A shift is taken when it matches the scene clearly better than none.
constexpr double shiftGain = 0.9;
// A block's own light fit is trusted when its texture is kept this well (correlation).
constexpr double keptTexture = 0.85;
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
constexpr int near = 1, farthest = 6; // pixels an area may move in a cycle, and after several
constexpr int clippedHigh = 250, clippedLow = 5;
// An area is light on its scene when the scene has this much texture (a variance) and the
// fit leaves at most this share of the picture's variance.
constexpr int spreadPasses = 6;
constexpr double minimumTexture = 64, keptResidual = 0.2;

// The 3 x 3 sums of an 8-bit picture, its edges repeated.
void boxSums(const std::vector<std::uint8_t>& in, int w, int h, std::vector<std::uint16_t>& rows,
             std::vector<std::uint16_t>& out)
{
    rows.resize(in.size());
    out.resize(in.size());
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = in.data() + std::size_t(y) * std::size_t(w);
        std::uint16_t* r = rows.data() + std::size_t(y) * std::size_t(w);
        r[0] = std::uint16_t(2 * p[0] + p[std::min(1, w - 1)]);
        for (int x = 1; x < w - 1; ++x)
            r[x] = std::uint16_t(p[x - 1] + p[x] + p[x + 1]);
        if (w > 1)
            r[w - 1] = std::uint16_t(p[w - 2] + 2 * p[w - 1]);
    }
    for (int y = 0; y < h; ++y) {
        const std::uint16_t* a = rows.data() + std::size_t(std::max(0, y - 1)) * std::size_t(w);
        const std::uint16_t* b = rows.data() + std::size_t(y) * std::size_t(w);
        const std::uint16_t* c = rows.data() + std::size_t(std::min(h - 1, y + 1)) * std::size_t(w);
        std::uint16_t* o = out.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x)
            o[x] = std::uint16_t(a[x] + b[x] + c[x]);
    }
}

// The smallest and the largest value within one pixel (3 x 3), edges repeated.
template <typename T>
void rangeOf(const std::vector<T>& in, int w, int h, std::vector<T>& work, std::vector<T>& low, std::vector<T>& high)
{
    work.resize(in.size());
    low.resize(in.size());
    high.resize(in.size());
    // Horizontal minimum into `low`, horizontal maximum into `work`; then vertically.
    for (int y = 0; y < h; ++y) {
        const T* p = in.data() + std::size_t(y) * std::size_t(w);
        T* lo = low.data() + std::size_t(y) * std::size_t(w);
        T* hi = work.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x) {
            const T a = p[std::max(0, x - 1)], b = p[x], c = p[std::min(w - 1, x + 1)];
            lo[x] = std::min({a, b, c});
            hi[x] = std::max({a, b, c});
        }
    }
    std::vector<T> column(std::size_t(w) * 2);
    T* previousLow = column.data();
    T* previousHigh = column.data() + w;
    std::copy_n(low.data(), w, previousLow);
    std::copy_n(work.data(), w, previousHigh);
    for (int y = 0; y < h; ++y) {
        T* lo = low.data() + std::size_t(y) * std::size_t(w);
        T* hi = work.data() + std::size_t(y) * std::size_t(w);
        const T* nextLo = low.data() + std::size_t(std::min(h - 1, y + 1)) * std::size_t(w);
        const T* nextHi = work.data() + std::size_t(std::min(h - 1, y + 1)) * std::size_t(w);
        T* outHigh = high.data() + std::size_t(y) * std::size_t(w);
        for (int x = 0; x < w; ++x) {
            const T l = lo[x], hv = hi[x];
            const T newLow = std::min({previousLow[x], l, nextLo[x]});
            const T newHigh = std::max({previousHigh[x], hv, nextHi[x]});
            previousLow[x] = l;
            previousHigh[x] = hv;
            lo[x] = newLow;
            outHigh[x] = newHigh;
        }
    }
}

// Each pixel's largest value within `reach` pixels along rows (step 1) or columns (step w).
void largestWithin(const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out, int w, int h, int reach,
                   int step)
{
    const int along = step == 1 ? w : h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int at = step == 1 ? x : y;
            const std::size_t i = std::size_t(y) * std::size_t(w) + std::size_t(x);
            std::uint8_t m = 0;
            for (int k = std::max(0, at - reach) - at; k <= std::min(along - 1, at + reach) - at; ++k)
                m = std::max(m, in[std::size_t(std::ptrdiff_t(i) + std::ptrdiff_t(k) * step)]);
            out[i] = m;
        }
}

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
    state_.assign(n, 0);
    previous_ = picture_;
    blockNoise_.assign(blocks, -1.0f);
    cycles_ = 0;
    shiftX_ = shiftY_ = 0;
}

SceneCounts SceneModel::update(const Bitmap& gray, const std::vector<std::uint8_t>& watched, const SceneRules& rules)
{
    SceneCounts counts;
    if (gray.empty() || gray.format() != PixelFormat::Bits8)
        return counts;
    // The picture binned to the analysis size: each pixel the rounded mean of b x b.
    const int b = binningFor(gray.width(), gray.height());
    const int w = std::max(1, gray.width() / b), h = std::max(1, gray.height() / b);
    picture_.resize(std::size_t(w) * std::size_t(h));
    if (b == 1) {
        for (int y = 0; y < h; ++y)
            std::copy_n(gray.row(y), w, picture_.data() + std::size_t(y) * std::size_t(w));
    } else if (b == 2) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t *p = gray.row(2 * y), *q = gray.row(2 * y + 1);
            std::uint8_t* out = picture_.data() + std::size_t(y) * std::size_t(w);
            for (int x = 0; x < w; ++x)
                out[x] = std::uint8_t((p[2 * x] + p[2 * x + 1] + q[2 * x] + q[2 * x + 1] + 2) >> 2);
        }
    } else {
        std::vector<std::uint32_t>& sums = binSums_;
        sums.assign(std::size_t(w), 0);
        const std::uint32_t area = std::uint32_t(b * b);
        for (int y = 0; y < h; ++y) {
            std::fill(sums.begin(), sums.end(), 0);
            for (int k = 0; k < b; ++k) {
                const std::uint8_t* p = gray.row(y * b + k);
                for (int x = 0; x < w; ++x) {
                    std::uint32_t s = 0;
                    for (int j = 0; j < b; ++j)
                        s += p[x * b + j];
                    sums[std::size_t(x)] += s;
                }
            }
            std::uint8_t* out = picture_.data() + std::size_t(y) * std::size_t(w);
            for (int x = 0; x < w; ++x)
                out[x] = std::uint8_t((sums[std::size_t(x)] + area / 2) / area);
        }
    }
    if (scene_.empty() || gray.width() != frameWidth_ || gray.height() != frameHeight_) {
        start(gray.width(), gray.height());
        return counts;
    }
    const bool watchAll = watched.size() != picture_.size();
    static const std::vector<std::uint8_t> none;
    const std::vector<std::uint8_t>& mask = watchAll ? none : watched;

    align();
    fitLight(mask, rules);
    findChanges(mask, rules, counts);
    judgeAreas(rules, counts);
    learn(counts);
    return counts;
}

void SceneModel::align()
{
    // The mean absolute difference on every fourth pixel of every fourth row, for each shift.
    const int w = width_, h = height_;
    auto sadOf = [&](int dx, int dy) {
        std::int64_t sad = 0;
        for (int y = largestShift; y < h - largestShift; y += 4) {
            const std::uint8_t* p = picture_.data() + std::size_t(y) * std::size_t(w);
            const std::uint16_t* s = scene_.data() + std::size_t(y + dy) * std::size_t(w) + dx;
            for (int x = largestShift; x < w - largestShift; x += 4)
                sad += std::abs(int(p[x]) - ((s[x] + 128) >> 8));
        }
        return sad;
    };
    shiftX_ = shiftY_ = 0;
    if (w <= 4 * largestShift || h <= 4 * largestShift)
        return;
    const std::int64_t still = sadOf(0, 0);
    std::int64_t best = still;
    for (int dy = -largestShift; dy <= largestShift; ++dy)
        for (int dx = -largestShift; dx <= largestShift; ++dx) {
            if (dx == 0 && dy == 0)
                continue;
            const std::int64_t sad = sadOf(dx, dy);
            if (sad < best) {
                best = sad;
                shiftX_ = dx;
                shiftY_ = dy;
            }
        }
    if (double(best) > shiftGain * double(still))
        shiftX_ = shiftY_ = 0;
}

void SceneModel::fitLight(const std::vector<std::uint8_t>& watched, const SceneRules& rules)
{
    const int w = width_, h = height_;
    const std::size_t blocks = std::size_t(blockColumns_) * std::size_t(blockRows_);
    expected_.resize(picture_.size());
    // The scene as this picture sees it: shifted, rounded to 8 bits.
    auto sceneAt = [&](int x, int y) {
        const int sx = std::clamp(x + shiftX_, 0, w - 1), sy = std::clamp(y + shiftY_, 0, h - 1);
        return std::uint8_t((scene_[std::size_t(sy) * std::size_t(w) + std::size_t(sx)] + 128) >> 8);
    };
    for (int y = 0; y < h; ++y) {
        const std::uint16_t* row = scene_.data() + std::size_t(std::clamp(y + shiftY_, 0, h - 1)) * std::size_t(w);
        std::uint8_t* e = expected_.data() + std::size_t(y) * std::size_t(w);
        const int from = std::max(0, -shiftX_), to = std::min(w, w - shiftX_);
        for (int x = 0; x < from; ++x)
            e[x] = sceneAt(x, y);
        for (int x = from; x < to; ++x)
            e[x] = std::uint8_t((row[x + shiftX_] + 128) >> 8);
        for (int x = std::max(from, to); x < w; ++x)
            e[x] = sceneAt(x, y);
    }
    aligned_ = expected_;

    fits_.assign(blocks, Fit{});
    blockMoved_.assign(blocks, 0);
    unknown_.clear();
    if (!rules.light)
        return;
    std::vector<Sums>& sums = blockSums_;
    sums.assign(blocks, Sums{});
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = picture_.data() + std::size_t(y) * std::size_t(w);
        const std::uint8_t* e = expected_.data() + std::size_t(y) * std::size_t(w);
        const std::uint8_t* m = watched.empty() ? nullptr : watched.data() + std::size_t(y) * std::size_t(w);
        Sums* row = sums.data() + std::size_t(y / block) * std::size_t(blockColumns_);
        for (int bx = 0; bx < blockColumns_; ++bx) {
            std::int64_t n = 0, g = 0, s = 0, gg = 0, ss = 0, gs = 0;
            for (int x = bx * block; x < std::min(w, (bx + 1) * block); ++x) {
                // A clipped level may stand for any brighter (or darker) one: it tells nothing of the light.
                if ((m && !m[x]) || p[x] >= clippedHigh || p[x] <= clippedLow || e[x] >= clippedHigh ||
                    e[x] <= clippedLow)
                    continue;
                const int gv = p[x], sv = e[x];
                ++n;
                g += gv;
                s += sv;
                gg += gv * gv;
                ss += sv * sv;
                gs += gv * sv;
            }
            Sums& t = row[bx];
            t.n += double(n);
            t.g += double(g);
            t.s += double(s);
            t.gg += double(gg);
            t.ss += double(ss);
            t.gs += double(gs);
        }
    }
    // Each block's own fit where its texture is kept (a shadow, a lamp); elsewhere the fit
    // of a neighbour that explains the block best, when one explains it far better than
    // no change of light does (a flat stretch of ground inside a shadow).
    std::vector<std::uint8_t> own(blocks, 0);
    auto sse = [](const Sums& t, double a, double c) {
        return t.gg - 2 * a * t.gs - 2 * c * t.g + a * a * t.ss + 2 * a * c * t.s + t.n * c * c;
    };
    for (std::size_t k = 0; k < blocks; ++k) {
        const Sums& t = sums[k];
        if (t.n < block * block / 4)
            continue;
        const double mg = t.g / t.n, ms = t.s / t.n;
        const double vg = t.gg / t.n - mg * mg, vs = t.ss / t.n - ms * ms, cov = t.gs / t.n - mg * ms;
        const double noise = blockNoise_[k] > 0 ? 3.75 * double(blockNoise_[k]) : 2.0;
        if (vs < std::max(16.0, 4 * noise * noise) || vg <= 0)
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
    for (int pass = 0; pass < spreadPasses; ++pass) {
        bool spread = false;
        std::vector<std::uint8_t> reached = own;
        for (int by = 0; by < blockRows_; ++by)
            for (int bx = 0; bx < blockColumns_; ++bx) {
                const std::size_t k = std::size_t(by) * std::size_t(blockColumns_) + std::size_t(bx);
                const Sums& t = sums[k];
                if (own[k])
                    continue;
                // A block all clipped (or masked) takes the scene's light as it is.
                if (t.n < 4) {
                    if (scene && pass == 0)
                        fits_[k] = *scene;
                    continue;
                }
                const double still = sse(t, 1, 0);
                double best = still;
                Fit chosen;
                if (scene && sse(t, scene->gain, scene->offset) < best) {
                    best = sse(t, scene->gain, scene->offset);
                    chosen = *scene;
                }
                for (int ny = std::max(0, by - 1); ny <= std::min(blockRows_ - 1, by + 1); ++ny)
                    for (int nx = std::max(0, bx - 1); nx <= std::min(blockColumns_ - 1, bx + 1); ++nx) {
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
        own.swap(reached);
        if (!spread)
            break;
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        const Sums& t = sums[k];
        if (t.n == 0)
            continue;
        const double ms = t.s / t.n;
        blockMoved_[k] = std::abs(fits_[k].gain * ms + fits_[k].offset - ms) > 4;
    }
    // The expected picture in each block's light. Where the scene was clipped and its light
    // changed, its level in the new light is not known: such a pixel never counts.
    unknown_.assign(picture_.size(), 0);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* e = expected_.data() + std::size_t(y) * std::size_t(w);
        std::uint8_t* u = unknown_.data() + std::size_t(y) * std::size_t(w);
        const Fit* row = fits_.data() + std::size_t(y / block) * std::size_t(blockColumns_);
        for (int x = 0; x < w; ++x) {
            const Fit& f = row[x / block];
            if (f.gain == 1 && f.offset == 0)
                continue;
            u[x] = e[x] >= clippedHigh || e[x] <= clippedLow;
            e[x] = std::uint8_t(std::clamp(std::lround(f.gain * float(e[x]) + f.offset), 0L, 255L));
        }
    }
}

void SceneModel::findChanges(const std::vector<std::uint8_t>& watched, const SceneRules& rules, SceneCounts& counts)
{
    const int w = width_, h = height_;
    const std::size_t blocks = std::size_t(blockColumns_) * std::size_t(blockRows_);
    boxSums(picture_, w, h, low_, sums_);
    boxSums(expected_, w, h, low_, expectedSums_);
    rangeOf(expectedSums_, w, h, work16_, low_, high_);

    // Each block's noise: the mean absolute difference of the smoothed pictures.
    blockMean_.assign(blocks, 0.0f);
    std::vector<std::int64_t> absSum(blocks, 0), count(blocks, 0), level(blocks, 0);
    for (int y = 0; y < h; ++y) {
        const std::size_t rowBlocks = std::size_t(y / block) * std::size_t(blockColumns_);
        for (int x = 0; x < w; ++x) {
            const std::size_t i = index(x, y);
            if (!watched.empty() && !watched[i])
                continue;
            const std::size_t k = rowBlocks + std::size_t(x / block);
            absSum[k] += std::abs(int(sums_[i]) - int(expectedSums_[i]));
            level[k] += expected_[i];
            ++count[k];
        }
    }
    blockThreshold_.assign(blocks, 255.0f);
    const bool lightWide = [&] {
        std::size_t moved = 0, seen = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
            seen += count[k] > 0;
            moved += blockMoved_[k];
        }
        return seen > 0 && 2 * moved > seen;
    }();
    counts.lightChange = lightWide;
    for (std::size_t k = 0; k < blocks; ++k) {
        if (count[k] == 0)
            continue;
        blockMean_[k] = float(double(absSum[k]) / (9.0 * double(count[k])));
    }
    // A block not measured before starts from the scene's typical noise: its own first
    // measurement may hold what moves in it.
    std::vector<float> measured;
    for (std::size_t k = 0; k < blocks; ++k)
        if (count[k] > 0)
            measured.push_back(blockMean_[k]);
    if (!measured.empty()) {
        std::nth_element(measured.begin(), measured.begin() + std::ptrdiff_t(measured.size() / 2), measured.end());
        for (float& noise : blockNoise_)
            if (noise < 0)
                noise = measured[measured.size() / 2];
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        if (count[k] == 0)
            continue;
        // The Pixel Variations hold for a mid-gray part of the scene and shrink with its
        // light, as a person's contrast does in the dark; the noise keeps them above it.
        const double mean = double(level[k]) / double(count[k]);
        double t = double(rules.threshold) * std::clamp(mean / 128.0, 0.25, 1.0);
        if (rules.noise)
            t = std::max(t, rules.noiseFactor * 1.25 * double(blockNoise_[k]));
        blockThreshold_[k] = float(std::max(2.0, t));
    }

    state_.assign(picture_.size(), 0);
    std::vector<int>& limits = rowLimits_; // each pixel's threshold on the 3 x 3 sums, along a row
    limits.resize(std::size_t(w));
    for (int y = 0; y < h; ++y) {
        if (y % block == 0)
            for (int x = 0; x < w; ++x)
                limits[std::size_t(x)] = int(std::ceil(9 * blockThreshold_[std::size_t(y / block) * std::size_t(blockColumns_) + std::size_t(x / block)]));
        const std::size_t row = std::size_t(y) * std::size_t(w);
        const std::uint16_t *s = sums_.data() + row, *lo = low_.data() + row, *hi = high_.data() + row;
        std::uint8_t* state = state_.data() + row;
        std::int64_t found = 0;
        for (int x = 0; x < w; ++x) {
            const int t = limits[std::size_t(x)];
            const std::uint8_t v = s[x] > hi[x] + t ? 1 : s[x] < lo[x] - t ? 2 : 0;
            state[x] = v;
            found += v != 0;
        }
        if (found == 0)
            continue;
        // Ignored and unknown pixels never count.
        for (int x = 0; x < w; ++x)
            if (state[x] && ((!watched.empty() && !watched[row + std::size_t(x)]) ||
                             (!unknown_.empty() && unknown_[row + std::size_t(x)])))
                state[x] = 0;
        for (int x = 0; x < w; ++x)
            counts.found += state[x] != 0;
    }
}

void SceneModel::judgeAreas(const SceneRules& rules, SceneCounts& counts)
{
    const int w = width_, h = height_;
    const std::size_t n = picture_.size();
    if (counts.found == 0) {
        std::fill(age_.begin(), age_.end(), 0);
        return;
    }
    // The largest age within reach: where an area was in the last picture.
    ageNear_.resize(n);
    work8_.resize(n);
    const int reach = std::clamp(near * rules.elapsed, near, farthest);
    largestWithin(age_, work8_, w, h, reach, 1);
    largestWithin(work8_, ageNear_, w, h, reach, w);

    // The changed pixels' 8-connected areas (union-find over the picture).
    labels_.assign(n, -1);
    parent_.clear();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t i = index(x, y);
            if (!state_[i])
                continue;
            int label = -1;
            auto join = [&](int nx, int ny) {
                if (nx < 0 || nx >= w || ny < 0)
                    return;
                const int other = labels_[index(nx, ny)];
                if (other < 0)
                    return;
                if (label < 0) {
                    label = find(parent_, other);
                    return;
                }
                const int a = find(parent_, label), b = find(parent_, other);
                if (a != b)
                    parent_[std::size_t(std::max(a, b))] = std::min(a, b);
                label = std::min(a, b);
            };
            join(x - 1, y);
            join(x - 1, y - 1);
            join(x, y - 1);
            join(x + 1, y - 1);
            if (label < 0) {
                label = int(parent_.size());
                parent_.push_back(label);
            }
            labels_[i] = label;
        }
    struct Area {
        std::int64_t pixels = 0, tracked = 0, moved = 0;
        int age = 0;
        bool counts = false;
        // For the fit of the picture as the scene under light that varies across the area:
        // p = (g + gx x + gy y) s + o.
        double xx[4][4] = {}, xp[4] = {}, pp = 0, threshold = 0;
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
    for (std::size_t i = 0; i < n; ++i) {
        if (labels_[i] < 0)
            continue;
        const int root = find(parent_, labels_[i]);
        labels_[i] = root;
        Area& a = areas[std::size_t(root)];
        ++a.pixels;
        a.tracked += ageNear_[i] > 0;
        a.age = std::max(a.age, int(ageNear_[i]));
        const std::size_t k = std::size_t(i / std::size_t(w) / block) * std::size_t(blockColumns_) +
                              std::size_t(i % std::size_t(w) / block);
        const double sv = aligned_[i], pv = picture_[i];
        const double f[4] = {sv, sv * double(i % std::size_t(w)) / w, sv * double(i / std::size_t(w)) / w, 1.0};
        for (int r = 0; r < 4; ++r) {
            for (int c = r; c < 4; ++c)
                a.xx[r][c] += f[r] * f[c];
            a.xp[r] += f[r] * pv;
        }
        a.pp += pv * pv;
        a.threshold += blockThreshold_[k];
        if (counts.lightChange) {
            a.moved += std::abs(float(picture_[i]) - lightRatio * float(previous_[i])) > blockThreshold_[k];
        }
    }
    // Areas are measured against the analysis picture, the same share of every frame.
    const std::int64_t smallest = rules.specks ? std::max<std::int64_t>(4, std::int64_t(w) * h / smallestShare) : 1;
    for (Area& a : areas) {
        if (a.pixels == 0)
            continue;
        if (rules.light && keptItsTexture(a.xx, a.xp, a.pp, double(a.pixels), a.threshold / double(a.pixels))) {
            // A shadow (or light) falling across the area: no movement, no track.
            a.age = 0;
            continue;
        }
        // After pictures sent again, what moves may have gone further: less of it overlaps.
        // A large overlap is a track whatever its share (a person whose outline split or grew).
        const double share = double(a.tracked) * rules.elapsed / double(a.pixels);
        const bool tracked = share >= trackedShare || (share >= trackedShare / 2 && a.tracked >= trackedArea * smallest);
        // While the whole scene's light changes, what it leaves unexplained for a moment
        // stands still; an area starts a track then only where the picture also moved.
        const bool starts = !counts.lightChange || double(a.moved) >= trackedShare * double(a.pixels);
        a.age = tracked ? a.age + 1 : starts ? 1 : 0;
        a.age = std::min(a.age, 255);
        a.counts = a.pixels >= smallest && a.age >= rules.trackCycles;
        if (a.pixels < smallest)
            counts.specks += a.pixels;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (labels_[i] < 0) {
            age_[i] = 0;
            continue;
        }
        const Area& a = areas[std::size_t(labels_[i])];
        age_[i] = std::uint8_t(a.age);
        if (!a.counts) {
            state_[i] = 0;
            continue;
        }
        counts.bright += state_[i] == 1;
        counts.dark += state_[i] == 2;
    }
}

void SceneModel::learn(const SceneCounts& counts)
{
    const int w = width_, h = height_;
    // Quiet pixels teach the scene; the picture's pixel that shows scene pixel (x, y) is
    // (x - shift, y - shift).
    // The first pictures teach the scene fast: what passed through the first picture (a
    // flake, a walker) would otherwise stay as a ghost.
    const bool warming = cycles_ < warmUpCycles;
    ++cycles_;
    const int quiet = counts.lightChange || warming ? relearnRate : quietRate;
    constexpr int ghostLevels = 8;
    for (int y = 0; y < h; ++y) {
        const int py = y - shiftY_;
        if (py < 0 || py >= h)
            continue;
        for (int x = 0; x < w; ++x) {
            const int px = x - shiftX_;
            if (px < 0 || px >= w)
                continue;
            const std::size_t p = index(px, py);
            const std::uint8_t age = age_[p];
            // While the whole scene's light changes, all of it is learnt anew. Otherwise a
            // region whose light is explained by a fit keeps its scene (a cloud's shadow
            // passes), as a changed area does, until either lasts long enough to be the scene.
            const bool held = age > 0 || blockMoved_[std::size_t(py / block) * std::size_t(blockColumns_) + std::size_t(px / block)];
            // While warming up, what stands still where the scene differs is a ghost of the
            // first picture (what passed through it), not something that came.
            const bool ghost = warming && age > 0 && std::abs(int(picture_[p]) - int(previous_[p])) <= ghostLevels;
            const int rate = !held || age >= absorbAfter || counts.lightChange || ghost ? quiet : changedRate;
            std::uint16_t& s = scene_[index(x, y)];
            const int d = (int(picture_[p]) << 8) - int(s);
            s = std::uint16_t(int(s) + ((d + (1 << (rate - 1))) >> rate));
        }
    }
    previous_ = picture_;
    // Each quiet block's noise.
    const std::size_t blocks = blockNoise_.size();
    blockBusy_.assign(blocks, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (age_[index(x, y)] > 0)
                blockBusy_[std::size_t(y / block) * std::size_t(blockColumns_) + std::size_t(x / block)] = 1;
    for (std::size_t k = 0; k < blocks; ++k)
        if (!blockBusy_[k] || blockMean_[k] < blockNoise_[k])
            blockNoise_[k] += (blockMean_[k] - blockNoise_[k]) / 8;
}

std::size_t SceneModel::stateBytes() const
{
    return scene_.capacity() * sizeof(std::uint16_t) + age_.capacity() + previous_.capacity() + blockNoise_.capacity() * sizeof(float);
}

} // namespace analysis
