#include "LightCompensation.h"

#include <algorithm>
#include <array>
#include <cmath>
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

// The level below which a share q of the counted values lie (histogram of 0..n-1), the
// values of a bin taken as spread evenly over it.
template <std::size_t N>
double quantile(const std::array<int, N>& histogram, int total, double q)
{
    const double wanted = q * total;
    int below = 0;
    for (std::size_t v = 0; v < N; ++v) {
        if (below + histogram[v] > wanted)
            return double(v) - 0.5 + (wanted - below) / histogram[v];
        below += histogram[v];
    }
    return double(N - 1);
}

// 1.4826 x the median of |residual|, in steps of a quarter level.
double robustScale(const std::vector<float>& e, const std::vector<float>& l, double gain, double offset)
{
    std::array<int, 1024> histogram{};
    for (std::size_t i = 0; i < e.size(); ++i) {
        const double r = std::abs(l[i] - (gain * e[i] + offset));
        ++histogram[static_cast<std::size_t>(std::min(r * 4.0, 1023.0))];
    }
    return 1.4826 * std::max(0.0, quantile(histogram, int(e.size()), 0.5)) / 4.0;
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
    std::vector<float> e, l;
    e.reserve(static_cast<std::size_t>(gridPoints * 1.3));
    l.reserve(e.capacity());
    std::array<int, 256> histogramE{}, histogramL{};
    for (int y = step / 2; y < h; y += step) {
        const std::uint8_t* re = earlier.row(y);
        const std::uint8_t* rl = later.row(y);
        for (int x = step / 2; x < w; x += step) {
            const int a = re[x], b = rl[x];
            if (a < darkest || a > brightest || b < darkest || b > brightest)
                continue;
            e.push_back(float(a));
            l.push_back(float(b));
            ++histogramE[a];
            ++histogramL[b];
        }
    }
    const int n = int(e.size());
    model.samples = n;
    if (n < 48)
        return model;

    // Start from the quartiles, which a minority that moved barely shifts, then reweight
    // with Tukey's biweight so that the pixels off the line stop counting.
    const double e25 = quantile(histogramE, n, 0.25), e50 = quantile(histogramE, n, 0.5),
                 e75 = quantile(histogramE, n, 0.75);
    const double l25 = quantile(histogramL, n, 0.25), l50 = quantile(histogramL, n, 0.5),
                 l75 = quantile(histogramL, n, 0.75);
    double gain = e75 - e25 >= 4 ? (l75 - l25) / (e75 - e25) : 1.0;
    gain = std::clamp(gain, 0.0, 3.9);
    double offset = l50 - gain * e50;
    model.darkestLevel = quantile(histogramE, n, 0.05);
    model.brightestLevel = quantile(histogramE, n, 0.95);
    model.gain = gain;
    model.offset = offset;
    // Most cycles see no change of light: then the quartiles say so, and the fit can stop.
    if (model.largestShift() < 1.0)
        return model;
    for (int round = 0; round < 2; ++round) {
        const double inverse = 1 / std::max(4.685 * robustScale(e, l, gain, offset), 3.0);
        double sw = 0, se = 0, sl = 0, see = 0, sel = 0, sll = 0;
        for (int i = 0; i < n; ++i) {
            // Without a branch: the pixels off the line fall either side of it at random,
            // which a branch would mispredict half the time.
            const double u = (l[i] - (gain * e[i] + offset)) * inverse;
            const double near = std::max(1 - u * u, 0.0);
            const double weight = near * near;
            sw += weight;
            se += weight * e[i];
            sl += weight * l[i];
            see += weight * e[i] * e[i];
            sel += weight * e[i] * l[i];
            sll += weight * l[i] * l[i];
        }
        if (sw < 16)
            break;
        const double meanE = se / sw, meanL = sl / sw;
        const double varE = see / sw - meanE * meanE, varL = sll / sw - meanL * meanL;
        const double cov = sel / sw - meanE * meanL;
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
    return c;
}

} // namespace analysis
