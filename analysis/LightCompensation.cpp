#include "LightCompensation.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace analysis {

namespace {

// About this many grid points whatever the frame's size: enough for a stable fit, few
// enough that the fit costs a small part of a comparison. The colourfulness needs fewer.
constexpr double gridPoints = 512, colourPoints = 256;
// Levels near black and white are clipped by the camera and do not follow a line.
constexpr int darkest = 12, brightest = 243;

int gridStep(int width, int height, double points)
{
    return std::max(1, static_cast<int>(std::sqrt(double(width) * height / points)));
}

// The levels below which the shares `q` (ascending) of the counted values lie (histogram
// of 0..N-1), the values of a bin taken as spread evenly over it; in one pass.
template <std::size_t N, std::size_t Q>
std::array<double, Q> quantiles(const std::array<int, N>& histogram, int total, const std::array<double, Q>& q)
{
    std::array<double, Q> levels, wanted;
    for (std::size_t k = 0; k < Q; ++k)
        wanted[k] = q[k] * total;
    std::size_t next = 0;
    int below = 0;
    for (std::size_t v = 0; v < N && next < Q; ++v) {
        for (; next < Q && below + histogram[v] > wanted[next]; ++next)
            levels[next] = double(v) - 0.5 + (wanted[next] - below) / histogram[v];
        below += histogram[v];
    }
    for (; next < Q; ++next)
        levels[next] = double(N - 1);
    return levels;
}

// The biweight's weighted sums, the levels taken from a centre near the middle so that
// single precision holds them well; four samples at a time in the compiler's vectors.
struct WeightedSums {
    double w = 0, e = 0, l = 0, ee = 0, el = 0, ll = 0;
};

using Lanes = float __attribute__((vector_size(16)));
using LaneBits = std::int32_t __attribute__((vector_size(16)));
constexpr std::size_t lanes = sizeof(Lanes) / sizeof(float);

// The `lanes` values from `values[i]` on.
Lanes lanesAt(const std::vector<float>& values, std::size_t i)
{
    Lanes out;
    std::memcpy(&out, values.data() + i, sizeof out);
    return out;
}

WeightedSums weightedSums(const std::vector<float>& e, const std::vector<float>& l, double gain, double offset,
                          double inverse, float centreE, float centreL)
{
    Lanes sw{}, se{}, sl{}, see{}, sel{}, sll{};
    const auto g = float(gain), o = float(offset), scale = float(inverse);
    auto add = [&](Lanes pe, Lanes pl, Lanes counts) {
        // Without a branch: the pixels off the line fall either side of it at random.
        const Lanes u = (pl - (g * pe + o)) * scale;
        const Lanes near = 1 - u * u;
        // max(near, 0) as a mask: the compiler writes a lane-wise choice out lane by lane.
        const Lanes kept = std::bit_cast<Lanes>(std::bit_cast<LaneBits>(near) & (near > 0));
        const Lanes weight = kept * kept * counts;
        const Lanes de = pe - centreE, dl = pl - centreL;
        sw += weight;
        se += weight * de;
        sl += weight * dl;
        see += weight * de * de;
        sel += weight * de * dl;
        sll += weight * dl * dl;
    };
    const std::size_t n = e.size();
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes)
        add(lanesAt(e, i), lanesAt(l, i), Lanes{} + 1);
    if (i < n) {
        Lanes pe{}, pl{}, counts{};
        for (std::size_t k = 0; i + k < n; ++k) {
            pe[k] = e[i + k];
            pl[k] = l[i + k];
            counts[k] = 1;
        }
        add(pe, pl, counts);
    }
    WeightedSums sums;
    for (std::size_t k = 0; k < lanes; ++k) {
        sums.w += sw[k];
        sums.e += se[k];
        sums.l += sl[k];
        sums.ee += see[k];
        sums.el += sel[k];
        sums.ll += sll[k];
    }
    return sums;
}

// The level (in quarters) below which half of the samples' |residual| lies, counted in
// `Bins` bins of a quarter level, the last of which also takes all beyond; nothing when
// the half lies in that last bin and a wider count would place it better. Counted in one
// histogram a lane: most residuals fall in a few bins, and counts into one histogram would
// wait for one another.
template <std::size_t Bins>
std::optional<double> halfResidual(const std::vector<float>& e, const std::vector<float>& l, float g, float o,
                                   bool widest)
{
    std::array<std::array<int, Bins>, lanes> histograms{};
    auto bin = [](float quarters) { return static_cast<std::size_t>(std::min(std::abs(quarters), float(Bins - 1))); };
    const std::size_t n = e.size();
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        const Lanes quarters = (lanesAt(l, i) - (g * lanesAt(e, i) + o)) * 4;
        for (std::size_t k = 0; k < lanes; ++k)
            ++histograms[k][bin(quarters[k])];
    }
    for (; i < n; ++i)
        ++histograms[0][bin((l[i] - (g * e[i] + o)) * 4)];
    const double wanted = 0.5 * double(n);
    int below = 0;
    for (std::size_t v = 0; v < Bins; ++v) {
        int count = 0;
        for (const auto& histogram : histograms)
            count += histogram[v];
        if (below + count > wanted)
            return v + 1 < Bins || widest ? std::optional(double(v) - 0.5 + (wanted - below) / count) : std::nullopt;
        below += count;
    }
    return widest ? std::optional(double(Bins - 1)) : std::nullopt;
}

// 1.4826 x the median of |residual|, in steps of a quarter level. Most residuals lie within
// a few levels, where a small histogram finds their median; only when it lies further is
// the whole range counted.
double robustScale(const std::vector<float>& e, const std::vector<float>& l, double gain, double offset)
{
    const auto g = float(gain), o = float(offset);
    std::optional<double> half = halfResidual<64>(e, l, g, o, false);
    if (!half)
        half = halfResidual<1024>(e, l, g, o, true);
    return 1.4826 * std::max(0.0, *half) / 4.0;
}

} // namespace

double LightModel::largestShift() const
{
    return std::max(std::abs((gain - 1.0) * darkestLevel + offset), std::abs((gain - 1.0) * brightestLevel + offset));
}

LightModel fitLightModel(const Bitmap& earlier, const Bitmap& later)
{
    LightModel model;
    const int w = earlier.width(), h = earlier.height();
    if (earlier.format() != PixelFormat::Bits8 || later.format() != PixelFormat::Bits8 || later.width() != w ||
        later.height() != h || earlier.empty())
        return model;

    const int step = gridStep(w, h, gridPoints);
    // The grid's pixels lie scattered over frames mostly outside the caches: first they are
    // only copied, each row's loads overlapping and the next row fetched meanwhile; then
    // the mid-tones are kept, without a branch.
    const auto across = static_cast<std::size_t>((w - step / 2 + step - 1) / step);
    const auto down = static_cast<std::size_t>((h - step / 2 + step - 1) / step);
    std::vector<std::uint8_t> grid(2 * across * down);
    std::size_t point = 0;
    for (int y = step / 2; y < h; y += step) {
        const std::uint8_t *re = earlier.row(y), *rl = later.row(y);
        const bool last = y + step >= h;
        const std::uint8_t *ne = last ? re : earlier.row(y + step), *nl = last ? rl : later.row(y + step);
        for (int x = step / 2; x < w; x += step, point += 2) {
            __builtin_prefetch(ne + x);
            __builtin_prefetch(nl + x);
            grid[point] = re[x];
            grid[point + 1] = rl[x];
        }
    }
    std::vector<float> e(across * down), l(e.size());
    std::size_t kept = 0;
    std::array<int, 256> histogramE{}, histogramL{};
    for (std::size_t i = 0; i < grid.size(); i += 2) {
        const int a = grid[i], b = grid[i + 1];
        const bool midTone = a >= darkest && a <= brightest && b >= darkest && b <= brightest;
        e[kept] = float(a);
        l[kept] = float(b);
        histogramE[static_cast<std::size_t>(a)] += midTone;
        histogramL[static_cast<std::size_t>(b)] += midTone;
        kept += midTone;
    }
    e.resize(kept);
    l.resize(kept);
    const int n = int(e.size());
    model.samples = n;
    if (n < 48)
        return model;

    // Start from the quartiles, which a minority that moved barely shifts, then reweight
    // with Tukey's biweight so that the pixels off the line stop counting.
    const auto [e05, e25, e50, e75, e95] = quantiles(histogramE, n, std::array{0.05, 0.25, 0.5, 0.75, 0.95});
    const auto [l25, l50, l75] = quantiles(histogramL, n, std::array{0.25, 0.5, 0.75});
    double gain = e75 - e25 >= 4 ? (l75 - l25) / (e75 - e25) : 1.0;
    gain = std::clamp(gain, 0.0, 3.9);
    double offset = l50 - gain * e50;
    model.darkestLevel = e05;
    model.brightestLevel = e95;
    model.gain = gain;
    model.offset = offset;
    // Most cycles see no change of light: then the quartiles say so, and the fit can stop.
    if (model.largestShift() < 1.0)
        return model;
    for (int round = 0; round < 2; ++round) {
        const double inverse = 1 / std::max(4.685 * robustScale(e, l, gain, offset), 3.0);
        const WeightedSums s = weightedSums(e, l, gain, offset, inverse, float(std::round(e50)), float(std::round(l50)));
        if (s.w < 16)
            break;
        const double shiftE = s.e / s.w, shiftL = s.l / s.w;
        const double meanE = std::round(e50) + shiftE, meanL = std::round(l50) + shiftL;
        const double varE = s.ee / s.w - shiftE * shiftE, varL = s.ll / s.w - shiftL * shiftL;
        const double cov = s.el / s.w - shiftE * shiftL;
        // Both frames carry the same sensor noise, so the line is fitted across (orthogonal
        // regression): a plain regression on a noisy dark scene would flatten the slope.
        // A scene of one level gives no slope: only the offset can be told.
        if (varE > 4 && cov > 0)
            gain = std::clamp((varL - varE + std::sqrt((varL - varE) * (varL - varE) + 4 * cov * cov)) / (2 * cov),
                              0.0, 3.9);
        else
            gain = 1.0;
        offset = meanL - gain * meanE;
    }
    model.gain = gain;
    model.offset = offset;
    model.residualScale = robustScale(e, l, gain, offset);
    return model;
}

double colourfulness(const Bitmap& colour)
{
    if (colour.format() != PixelFormat::Bgr24 || colour.empty())
        return 0;
    const int step = gridStep(colour.width(), colour.height(), colourPoints);
    double sum = 0;
    int n = 0;
    for (int y = step / 2; y < colour.height(); y += step) {
        const std::uint8_t* row = colour.row(y);
        for (int x = step / 2; x < colour.width(); x += step) {
            const std::uint8_t* p = row + 3 * x;
            sum += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            ++n;
        }
    }
    return n > 0 ? sum / n : 0;
}

Compensation Compensation::of(const LightModel& model)
{
    Compensation c;
    c.on = true;
    c.shift = model.gain * 128 <= 255 ? 7 : 6;
    c.gain = static_cast<std::uint16_t>(std::clamp(std::lround(model.gain * (1 << c.shift)), 0L, 255L));
    c.offset = static_cast<std::int16_t>(std::clamp(std::lround(model.offset), -255L, 255L));
    for (std::size_t level = 0; level < c.levels.size(); ++level)
        c.levels[level] = c.apply(static_cast<std::uint8_t>(level));
    return c;
}

} // namespace analysis
