#include "SceneKernels.h"

#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace analysis::kernels {

namespace {

#define SCENE_INLINE [[gnu::always_inline]] inline

constexpr int clippedLow = 5, clippedHigh = 250;

// The kernels' arithmetic, written once; each set of kernels below inlines it into
// functions built for its instruction set. The rows a kernel writes never overlap those it
// reads (ivdep: the restrict qualifiers do not survive the inlining).
namespace body {

SCENE_INLINE void addRow(const std::uint8_t* __restrict row, std::uint16_t* __restrict sums, int n)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x)
        sums[x] = std::uint16_t(sums[x] + row[x]);
}

// The quotient by b^2 as a product: for b up to 16 the quotient's fraction is a multiple
// of 1 / b^2 (at least 1 / 256), far above the product's rounding (at most 256 x 2^-23),
// so a nudge of 1 / 1000 makes the truncated product the exact quotient.
template <int B>
SCENE_INLINE void binColumnsOf(const std::uint16_t* __restrict sums, std::uint8_t* __restrict out, int n)
{
    constexpr float inverse = 1.0f / float(B * B);
#pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        std::int32_t s = B * B / 2;
        for (int j = 0; j < B; ++j)
            s += sums[x * B + j];
        out[x] = std::uint8_t(int(float(s) * inverse + 1e-3f));
    }
}

SCENE_INLINE void binColumns(const std::uint16_t* sums, std::uint8_t* out, int n, int b)
{
    switch (b) {
    case 3: return binColumnsOf<3>(sums, out, n);
    case 4: return binColumnsOf<4>(sums, out, n);
    case 5: return binColumnsOf<5>(sums, out, n);
    case 6: return binColumnsOf<6>(sums, out, n);
    case 7: return binColumnsOf<7>(sums, out, n);
    case 8: return binColumnsOf<8>(sums, out, n);
    case 9: return binColumnsOf<9>(sums, out, n);
    case 10: return binColumnsOf<10>(sums, out, n);
    case 11: return binColumnsOf<11>(sums, out, n);
    case 12: return binColumnsOf<12>(sums, out, n);
    case 13: return binColumnsOf<13>(sums, out, n);
    case 14: return binColumnsOf<14>(sums, out, n);
    case 15: return binColumnsOf<15>(sums, out, n);
    case 16: return binColumnsOf<16>(sums, out, n);
    default: return;
    }
}

SCENE_INLINE void halveRows(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, std::uint8_t* __restrict out, int n)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x)
        out[x] = std::uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
}

// Each group of four pixels read as one 32-bit word: its pairs summed in two 16-bit
// halves (at most 4 x 510), then the halves.
using Quad = std::uint32_t __attribute__((may_alias, aligned(1)));

SCENE_INLINE std::uint32_t pairSums(std::uint32_t q)
{
    return (q & 0x00ff00ffu) + ((q >> 8) & 0x00ff00ffu);
}

SCENE_INLINE void quarterRows(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, const std::uint8_t* __restrict c,
                              const std::uint8_t* __restrict d, std::uint8_t* __restrict out, int n)
{
    const Quad* qa = reinterpret_cast<const Quad*>(a);
    const Quad* qb = reinterpret_cast<const Quad*>(b);
    const Quad* qc = reinterpret_cast<const Quad*>(c);
    const Quad* qd = reinterpret_cast<const Quad*>(d);
#pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        const std::uint32_t t = pairSums(qa[x]) + pairSums(qb[x]) + pairSums(qc[x]) + pairSums(qd[x]);
        out[x] = std::uint8_t(((t & 0xffffu) + (t >> 16) + 8) >> 4);
    }
}

SCENE_INLINE std::uint64_t absDifference(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, int n, int rows,
                                         std::ptrdiff_t stride, std::uint64_t bound)
{
    std::uint64_t total = 0;
    for (int r = 0; r < rows && total <= bound; ++r, a += stride, b += stride) {
        int sum = 0;
#pragma GCC ivdep
        for (int x = 0; x < n; ++x)
            sum += std::abs(int(a[x]) - int(b[x]));
        total += std::uint32_t(sum);
    }
    return total;
}

SCENE_INLINE void roundLevels(const std::uint16_t* __restrict s, std::uint8_t* __restrict out, int n)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x)
        out[x] = std::uint8_t((s[x] + 128u) >> 8);
}

SCENE_INLINE void applyLight(std::uint8_t* __restrict e, const float* __restrict gain, const float* __restrict offset,
                             std::uint8_t* __restrict unknown, int n)
{
#pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        unknown[x] = std::uint8_t((e[x] >= clippedHigh) | (e[x] <= clippedLow));
        // Clamped first, the level is never negative: adding a half and truncating rounds it.
        float level = gain[x] * float(e[x]) + offset[x];
        level = std::min(std::max(level, 0.0f), 255.0f);
        e[x] = std::uint8_t(int(level + 0.5f));
    }
}

SCENE_INLINE void lightSums(const std::uint8_t* __restrict p, const std::uint8_t* __restrict e, const std::uint8_t* __restrict w,
                            std::ptrdiff_t stride, std::ptrdiff_t watchedStride, int rows, int width, std::int32_t* __restrict out)
{
    for (int from = 0; from < width; from += 8, out += 8) {
        std::int32_t sums[8] = {};
        for (int r = 0; r < rows; r += 2)
            for (int x = from; x < std::min(width, from + 8); ++x) {
                // A clipped level may stand for any brighter (or darker) one: it tells nothing of the light.
                const std::int32_t pv = p[r * stride + x], ev = e[r * stride + x];
                if (w[r * watchedStride + x] == 0 || pv <= clippedLow || pv >= clippedHigh || ev <= clippedLow ||
                    ev >= clippedHigh)
                    continue;
                sums[0] += 1;
                sums[1] += pv;
                sums[2] += ev;
                sums[3] += pv * pv;
                sums[4] += ev * ev;
                sums[5] += pv * ev;
            }
        std::copy_n(sums, 8, out);
    }
}

// Eight rows at a time, so that their column sums stay in the first-level cache: the column
// sums of three rows, then three of them along the rows, each as one long run, and each
// run's edges mended.
constexpr int boxStrip = 8;

SCENE_INLINE void boxSums(const std::uint8_t* __restrict in, std::uint16_t* __restrict out, std::uint16_t* __restrict columns,
                          int w, int h)
{
    for (int top = 0; top < h; top += boxStrip) {
        const int rows = std::min(boxStrip, h - top);
        for (int r = 0; r < rows;) {
            const int y = top + r;
            if (y == 0 || y == h - 1) {
                const std::uint8_t *a = in + std::ptrdiff_t(std::max(y - 1, 0)) * w, *b = in + std::ptrdiff_t(y) * w;
                const std::uint8_t* c = in + std::ptrdiff_t(std::min(y + 1, h - 1)) * w;
                std::uint16_t* o = columns + std::ptrdiff_t(r) * w;
                #pragma GCC ivdep
                for (int x = 0; x < w; ++x)
                    o[x] = std::uint16_t(a[x] + b[x] + c[x]);
                ++r;
                continue;
            }
            // The rows with both neighbours in the picture, as one run.
            const int count = std::min(rows - r, h - 1 - y) * w;
            const std::uint8_t* b = in + std::ptrdiff_t(y) * w;
            std::uint16_t* o = columns + std::ptrdiff_t(r) * w;
            #pragma GCC ivdep
            for (int x = 0; x < count; ++x)
                o[x] = std::uint16_t(b[x - w] + b[x] + b[x + w]);
            r += count / w;
        }
        std::uint16_t* o = out + std::ptrdiff_t(top) * w;
        const int n = rows * w;
        #pragma GCC ivdep
        for (int x = 1; x < n - 1; ++x)
            o[x] = std::uint16_t(columns[x - 1] + columns[x] + columns[x + 1]);
        for (int first = 0; first < n; first += w) {
            const int last = first + w - 1;
            if (w == 1) {
                o[first] = std::uint16_t(3 * columns[first]);
                continue;
            }
            o[first] = std::uint16_t(2 * columns[first] + columns[first + 1]);
            o[last] = std::uint16_t(columns[last - 1] + 2 * columns[last]);
        }
    }
}

SCENE_INLINE void rangeColumn(const std::uint16_t* __restrict a, const std::uint16_t* __restrict b, const std::uint16_t* __restrict c,
                              std::uint16_t* __restrict low, std::uint16_t* __restrict high, int n)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        low[x] = std::min(std::min(a[x], b[x]), c[x]);
        high[x] = std::max(std::max(a[x], b[x]), c[x]);
    }
}

SCENE_INLINE bool beyondLimits(const std::uint16_t* __restrict s, const std::uint16_t* __restrict e, const std::int16_t* __restrict t,
                               int n)
{
    // Sums and limits fit 15 bits: their difference is compared as signed, as every set can.
    std::uint16_t beyond = 0;
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        const std::int16_t d = std::int16_t(s[x] - e[x]);
        beyond |= std::uint16_t((d > t[x]) | (d < std::int16_t(-t[x])));
    }
    return beyond != 0;
}

SCENE_INLINE void noiseSums(const std::uint16_t* __restrict s, const std::uint16_t* __restrict e, const std::uint8_t* __restrict level,
                            const std::uint8_t* __restrict w, std::ptrdiff_t stride, std::ptrdiff_t watchedStride, int rows,
                            int width, std::int32_t* __restrict out)
{
    for (int from = 0; from < width; from += 8, out += 4) {
        std::int32_t sums[4] = {};
        for (int r = 0; r < rows; ++r)
            for (int x = from; x < std::min(width, from + 8); ++x) {
                if (w[r * watchedStride + x] == 0)
                    continue;
                sums[0] += std::abs(int(s[r * stride + x]) - int(e[r * stride + x]));
                sums[1] += level[r * stride + x];
                sums[2] += 1;
            }
        std::copy_n(sums, 4, out);
    }
}

SCENE_INLINE int markRange(const std::uint16_t* __restrict s, const std::uint16_t* __restrict low, const std::uint16_t* __restrict high,
                           const std::int16_t* __restrict t, const std::uint8_t* __restrict watched,
                           const std::uint8_t* __restrict unknown, std::uint8_t* __restrict state, int n, int width)
{
    auto mark = [&](int x, std::uint16_t lo, std::uint16_t hi) {
        const std::int16_t v = std::int16_t(s[x]);
        const std::uint8_t counts = (watched[x] != 0) & (unknown[x] == 0);
        const std::uint8_t up = (v > std::int16_t(hi + t[x])) & counts;
        const std::uint8_t down = (v < std::int16_t(lo - t[x])) & counts;
        // Both cannot hold: lo <= hi and t >= 0.
        state[x] = std::uint8_t(up | (down << 1));
        return int(up | down);
    };
    int found = 0;
    // The rows as one long row first (low and high are read one past either end), counted
    // in 16 bits a stretch at a time: a wider count widens every lane...
    constexpr int stretch = 1 << 15;
    for (int from = 0; from < n; from += stretch) {
        std::uint16_t marked = 0;
        const int to = std::min(n, from + stretch);
        #pragma GCC ivdep
        for (int x = from; x < to; ++x) {
            const std::uint16_t lo = std::min(std::min(low[x - 1], low[x]), low[x + 1]);
            const std::uint16_t hi = std::max(std::max(high[x - 1], high[x]), high[x + 1]);
            marked = std::uint16_t(marked + mark(x, lo, hi));
        }
        found += marked;
    }
    // ...then each row's ends, with the range cut at the row's edge.
    for (int first = 0; first < n; first += width) {
        const int last = first + width - 1;
        found -= state[first] != 0;
        found += width == 1 ? mark(first, low[first], high[first])
                            : mark(first, std::min(low[first], low[first + 1]), std::max(high[first], high[first + 1]));
        if (width > 1) {
            found -= state[last] != 0;
            found += mark(last, std::min(low[last - 1], low[last]), std::max(high[last - 1], high[last]));
        }
    }
    return found;
}

// ((p << 8) - s + 2^(k - 1)) >> k in 16 bits, exactly (a test tries every s and p): with
// s = 256 sh + sl and q = p - sh, it is floor((256 q + u) / 2^k) for u = 2^(k - 1) - sl, which
// is q 2^(8 - k) + floor(u / 2^k) for k up to 8, and floor((q + floor(u / 256)) / 2^(k - 8))
// above.
SCENE_INLINE std::int16_t learnStep(std::uint16_t s, std::uint8_t p, int k, bool fine)
{
    const std::int16_t q = std::int16_t(std::int16_t(p) - std::int16_t(s >> 8));
    const std::int16_t u = std::int16_t((1 << (k - 1)) - (s & 255));
    return fine ? std::int16_t((q << (8 - k)) + (u >> k)) : std::int16_t((q + (u >> 8)) >> (k - 8));
}

SCENE_INLINE void learnRow(std::uint16_t* __restrict scene, const std::uint8_t* __restrict picture,
                           const std::uint8_t* __restrict age, const std::uint8_t* __restrict moved, int n, int absorbed,
                           int quick, int slow)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x) {
        const bool held = ((age[x] > 0) | (moved[x] != 0)) & (age[x] < absorbed);
        const std::uint16_t s = scene[x];
        const std::int16_t fast = learnStep(s, picture[x], quick, true), gentle = learnStep(s, picture[x], slow, false);
        scene[x] = std::uint16_t(s + (held ? gentle : fast));
    }
}

SCENE_INLINE void largestAlong(const std::uint8_t* __restrict in, std::uint8_t* __restrict out, int n, int reach)
{
    #pragma GCC ivdep
    for (int x = 0; x < n; ++x)
        out[x] = in[x];
    for (int k = 1; k <= reach && k < n; ++k) {
        // out[x] takes in[x + k] and in[x - k] where they lie in the row.
        #pragma GCC ivdep
        for (int x = 0; x < n - k; ++x)
            out[x] = std::max(out[x], in[x + k]);
        #pragma GCC ivdep
        for (int x = k; x < n; ++x)
            out[x] = std::max(out[x], in[x - k]);
    }
}

} // namespace body

// The kernels written by hand for each set, where the compiler does not find the
// instructions that suit the arithmetic; the plain set has the plain loops.
namespace portable {

void quarterRows(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                 std::uint8_t* out, int n)
{
    body::quarterRows(a, b, c, d, out, n);
}

void learnRow(std::uint16_t* scene, const std::uint8_t* picture, const std::uint8_t* age, const std::uint8_t* moved,
              int n, int absorbed, int quick, int slow)
{
    body::learnRow(scene, picture, age, moved, n, absorbed, quick, slow);
}

void lightSums(const std::uint8_t* p, const std::uint8_t* e, const std::uint8_t* w, std::ptrdiff_t stride,
               std::ptrdiff_t watchedStride, int rows, int width, std::int32_t* out)
{
    body::lightSums(p, e, w, stride, watchedStride, rows, width, out);
}

void noiseSums(const std::uint16_t* s, const std::uint16_t* e, const std::uint8_t* level, const std::uint8_t* w,
               std::ptrdiff_t stride, std::ptrdiff_t watchedStride, int rows, int width, std::int32_t* out)
{
    body::noiseSums(s, e, level, w, stride, watchedStride, rows, width, out);
}

} // namespace portable

#if defined(__x86_64__)
namespace avx2 {

// The binning by four with the instruction sets' pair sums (bytes to 16 bits, then 16 bits
// to 32), which the compiler does not find in the plain loop; the plain loop does the rest.
// (Written out, as a lambda would not be built for the function's instruction set.)
__attribute__((target("avx2"))) inline __m256i quarterMeans(const std::uint8_t* a, const std::uint8_t* b,
                                                            const std::uint8_t* c, const std::uint8_t* d)
{
    const __m256i bytes = _mm256_set1_epi8(1);
    const __m256i ab = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)), bytes),
                                        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), bytes));
    const __m256i cd = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c)), bytes),
                                        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d)), bytes));
    const __m256i sums = _mm256_madd_epi16(_mm256_add_epi16(ab, cd), _mm256_set1_epi16(1));
    return _mm256_srli_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(8)), 4);
}

__attribute__((target("avx2"))) void quarterRows(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                                 const std::uint8_t* d, std::uint8_t* out, int n)
{
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int x = 0;
    for (; x + 32 <= n; x += 32) {
        __m256i m[4];
        for (int k = 0; k < 4; ++k) {
            const int at = 4 * (x + 8 * k);
            m[k] = quarterMeans(a + at, b + at, c + at, d + at);
        }
        const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(m[0], m[1]), _mm256_packus_epi32(m[2], m[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_permutevar8x32_epi32(bytes, order));
    }
    body::quarterRows(a + 4 * x, b + 4 * x, c + 4 * x, d + 4 * x, out + x, n - x);
}

// The learning's step in 16-bit lanes with one shift count for every lane, which the
// compiler does not keep: it widens the plain loop to 32 bits.
struct LearnRates {
    __m128i up, down, coarse;
    __m256i halfQuick, halfSlow;
    int absorbed;
};

// The scene's next values for 32 pixels.
__attribute__((target("avx2"))) inline void learnStep(const LearnRates& rates, const std::uint16_t* scene,
                                                      const std::uint8_t* picture, const std::uint8_t* age,
                                                      const std::uint8_t* moved, __m256i (&next)[2])
{
    // Bytes of a pixel held: (age or moved) and age < absorbed.
    __m256i held = _mm256_setzero_si256();
    if (rates.absorbed > 0) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(age));
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(moved));
        const __m256i ceiling = _mm256_set1_epi8(char(std::min(rates.absorbed - 1, 255)));
        const __m256i below = _mm256_cmpeq_epi8(_mm256_min_epu8(a, ceiling), a);
        held = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, m), _mm256_setzero_si256()), below);
    }
    for (int half = 0; half < 2; ++half) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scene + 16 * half));
        const __m256i p = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(picture + 16 * half)));
        const __m256i q = _mm256_sub_epi16(p, _mm256_srli_epi16(s, 8));
        const __m256i sl = _mm256_and_si256(s, _mm256_set1_epi16(255));
        const __m256i fast = _mm256_add_epi16(_mm256_sll_epi16(q, rates.up), _mm256_sra_epi16(_mm256_sub_epi16(rates.halfQuick, sl), rates.down));
        const __m256i gentle = _mm256_sra_epi16(_mm256_add_epi16(q, _mm256_srai_epi16(_mm256_sub_epi16(rates.halfSlow, sl), 8)), rates.coarse);
        const __m256i which = _mm256_cvtepi8_epi16(half == 0 ? _mm256_castsi256_si128(held) : _mm256_extracti128_si256(held, 1));
        next[half] = _mm256_add_epi16(s, _mm256_blendv_epi8(fast, gentle, which));
    }
}

__attribute__((target("avx2"))) void learnRow(std::uint16_t* scene, const std::uint8_t* picture,
                                              const std::uint8_t* age, const std::uint8_t* moved, int n, int absorbed,
                                              int quick, int slow)
{
    if (n < 32)
        return body::learnRow(scene, picture, age, moved, n, absorbed, quick, slow);
    const LearnRates rates{_mm_cvtsi32_si128(8 - quick), _mm_cvtsi32_si128(quick), _mm_cvtsi32_si128(slow - 8),
                           _mm256_set1_epi16(std::int16_t(1 << (quick - 1))),
                           _mm256_set1_epi16(std::int16_t(1 << (slow - 1))), absorbed};
    // The last 32 pixels first, from the values before the loop changes any of them: stored
    // last, they give the pixels the loop covered too the values it gave them. (A row of a
    // shifted picture is rarely whole vectors.)
    __m256i last[2], next[2];
    learnStep(rates, scene + n - 32, picture + n - 32, age + n - 32, moved + n - 32, last);
    for (int x = 0; x + 32 <= n; x += 32) {
        learnStep(rates, scene + x, picture + x, age + x, moved + x, next);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(scene + x), next[0]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(scene + x + 16), next[1]);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(scene + n - 32), last[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(scene + n - 16), last[1]);
}

// Sixteen levels widened to 16 bits.
__attribute__((target("avx2"))) inline __m256i levels(const std::uint8_t* at)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

// The light's sums sixteen columns at a time over the strip's rows, the products' pairs
// summed by the processor, then each block's columns across.
__attribute__((target("avx2"))) void lightSums(const std::uint8_t* p, const std::uint8_t* e, const std::uint8_t* w,
                                               std::ptrdiff_t stride, std::ptrdiff_t watchedStride, int rows, int width,
                                               std::int32_t* out)
{
    const __m256i low = _mm256_set1_epi16(clippedLow), high = _mm256_set1_epi16(clippedHigh);
    const __m256i ones = _mm256_set1_epi16(1), zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i n = zero, g = zero, s = zero, gg = zero, ss = zero, gs = zero;
        for (int r = 0; r < rows; r += 2) {
            const __m256i pv = levels(p + r * stride + x), ev = levels(e + r * stride + x);
            const __m256i inside = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi16(pv, low), _mm256_cmpgt_epi16(high, pv)),
                                                    _mm256_and_si256(_mm256_cmpgt_epi16(ev, low), _mm256_cmpgt_epi16(high, ev)));
            const __m256i use = _mm256_andnot_si256(_mm256_cmpeq_epi16(levels(w + r * watchedStride + x), zero), inside);
            const __m256i gv = _mm256_and_si256(pv, use), sv = _mm256_and_si256(ev, use);
            n = _mm256_sub_epi16(n, use);
            g = _mm256_add_epi16(g, gv);
            s = _mm256_add_epi16(s, sv);
            gg = _mm256_add_epi32(gg, _mm256_madd_epi16(gv, gv));
            ss = _mm256_add_epi32(ss, _mm256_madd_epi16(sv, sv));
            gs = _mm256_add_epi32(gs, _mm256_madd_epi16(gv, sv));
        }
        // The low 128-bit lane holds the first block's columns, the high one the second's.
        const __m256i ng = _mm256_hadd_epi32(_mm256_madd_epi16(n, ones), _mm256_madd_epi16(g, ones));
        const __m256i sgg = _mm256_hadd_epi32(_mm256_madd_epi16(s, ones), gg);
        const __m256i first = _mm256_hadd_epi32(ng, sgg), last = _mm256_hadd_epi32(_mm256_hadd_epi32(ss, gs), zero);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_permute2x128_si256(first, last, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + 8), _mm256_permute2x128_si256(first, last, 0x31));
    }
    body::lightSums(p + x, e + x, w + x, stride, watchedStride, rows, width - x, out + x);
}

// The noise's sums in the same way.
__attribute__((target("avx2"))) void noiseSums(const std::uint16_t* s, const std::uint16_t* e, const std::uint8_t* level,
                                               const std::uint8_t* w, std::ptrdiff_t stride, std::ptrdiff_t watchedStride,
                                               int rows, int width, std::int32_t* out)
{
    const __m256i ones = _mm256_set1_epi16(1), zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i difference = zero, levelSum = zero, count = zero;
        for (int r = 0; r < rows; ++r) {
            const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + r * stride + x));
            const __m256i ev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + r * stride + x));
            const __m256i use = _mm256_xor_si256(_mm256_cmpeq_epi16(levels(w + r * watchedStride + x), zero),
                                                 _mm256_set1_epi16(-1));
            difference = _mm256_add_epi16(difference, _mm256_and_si256(_mm256_abs_epi16(_mm256_sub_epi16(sv, ev)), use));
            levelSum = _mm256_add_epi16(levelSum, _mm256_and_si256(levels(level + r * stride + x), use));
            count = _mm256_sub_epi16(count, use);
        }
        // Each 128-bit lane ends with its block's difference, level, count and a zero.
        const __m256i sums = _mm256_hadd_epi32(
            _mm256_hadd_epi32(_mm256_madd_epi16(difference, ones), _mm256_madd_epi16(levelSum, ones)),
            _mm256_hadd_epi32(_mm256_madd_epi16(count, ones), zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x / 2), sums);
    }
    body::noiseSums(s + x, e + x, level + x, w + x, stride, watchedStride, rows, width - x, out + x / 2);
}

} // namespace avx2

namespace avx512 {

__attribute__((target("avx2,avx512f,avx512bw"))) void quarterRows(const std::uint8_t* a, const std::uint8_t* b,
                                                                  const std::uint8_t* c, const std::uint8_t* d,
                                                                  std::uint8_t* out, int n)
{
    const __m512i bytes = _mm512_set1_epi8(1);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const int at = 4 * x;
        const __m512i ab = _mm512_add_epi16(_mm512_maddubs_epi16(_mm512_loadu_si512(a + at), bytes),
                                            _mm512_maddubs_epi16(_mm512_loadu_si512(b + at), bytes));
        const __m512i cd = _mm512_add_epi16(_mm512_maddubs_epi16(_mm512_loadu_si512(c + at), bytes),
                                            _mm512_maddubs_epi16(_mm512_loadu_si512(d + at), bytes));
        const __m512i sums = _mm512_madd_epi16(_mm512_add_epi16(ab, cd), _mm512_set1_epi16(1));
        // The zero-masked forms: the plain ones start from an undefined value, which GCC 12
        // takes for an uninitialised one at -O3.
        const __m512i means = _mm512_maskz_srli_epi32(0xffff, _mm512_add_epi32(sums, _mm512_set1_epi32(8)), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm512_maskz_cvtepi32_epi8(0xffff, means));
    }
    body::quarterRows(a + 4 * x, b + 4 * x, c + 4 * x, d + 4 * x, out + x, n - x);
}

struct LearnRates512 {
    __m128i up, down, coarse;
    __m512i halfQuick, halfSlow, ceiling;
    int absorbed;
};

// The scene's next values for 64 pixels.
__attribute__((target("avx2,avx512f,avx512bw"))) inline void learnStep(const LearnRates512& rates,
                                                                       const std::uint16_t* scene,
                                                                       const std::uint8_t* picture,
                                                                       const std::uint8_t* age,
                                                                       const std::uint8_t* moved, __m512i (&next)[2])
{
    const __m512i a = _mm512_loadu_si512(age), m = _mm512_loadu_si512(moved);
    const __mmask64 held = rates.absorbed <= 0 ? 0
                                               : _mm512_test_epi8_mask(_mm512_or_si512(a, m), _mm512_or_si512(a, m)) &
                                                     _mm512_cmple_epu8_mask(a, rates.ceiling);
    for (int half = 0; half < 2; ++half) {
        const __m512i s = _mm512_loadu_si512(scene + 32 * half);
        const __m512i p = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(picture + 32 * half)));
        const __m512i q = _mm512_sub_epi16(p, _mm512_srli_epi16(s, 8));
        const __m512i sl = _mm512_and_si512(s, _mm512_set1_epi16(255));
        const __m512i fast = _mm512_add_epi16(_mm512_sll_epi16(q, rates.up), _mm512_sra_epi16(_mm512_sub_epi16(rates.halfQuick, sl), rates.down));
        const __m512i gentle = _mm512_sra_epi16(_mm512_add_epi16(q, _mm512_srai_epi16(_mm512_sub_epi16(rates.halfSlow, sl), 8)), rates.coarse);
        const __mmask32 which = __mmask32(held >> (32 * half));
        next[half] = _mm512_add_epi16(s, _mm512_mask_blend_epi16(which, fast, gentle));
    }
}

__attribute__((target("avx2,avx512f,avx512bw"))) void learnRow(std::uint16_t* scene, const std::uint8_t* picture,
                                                               const std::uint8_t* age, const std::uint8_t* moved,
                                                               int n, int absorbed, int quick, int slow)
{
    if (n < 64)
        return body::learnRow(scene, picture, age, moved, n, absorbed, quick, slow);
    const LearnRates512 rates{_mm_cvtsi32_si128(8 - quick), _mm_cvtsi32_si128(quick), _mm_cvtsi32_si128(slow - 8),
                              _mm512_set1_epi16(std::int16_t(1 << (quick - 1))),
                              _mm512_set1_epi16(std::int16_t(1 << (slow - 1))),
                              _mm512_set1_epi8(char(std::clamp(absorbed - 1, 0, 255))), absorbed};
    // As with AVX2: the last 64 pixels first, stored last.
    __m512i last[2], next[2];
    learnStep(rates, scene + n - 64, picture + n - 64, age + n - 64, moved + n - 64, last);
    for (int x = 0; x + 64 <= n; x += 64) {
        learnStep(rates, scene + x, picture + x, age + x, moved + x, next);
        _mm512_storeu_si512(scene + x, next[0]);
        _mm512_storeu_si512(scene + x + 32, next[1]);
    }
    _mm512_storeu_si512(scene + n - 64, last[0]);
    _mm512_storeu_si512(scene + n - 32, last[1]);
}

// The blocks' sums are AVX2's: their sums across a block have no wider form.
using avx2::lightSums;
using avx2::noiseSums;

} // namespace avx512
#endif

// Each set of kernels built with TARGET (nothing for the plain set), with its hand-written ones.

#define SCENE_KERNEL_SET(NAME, TARGET)                                                                                \
    namespace NAME {                                                                                                   \
    TARGET void addRow(const std::uint8_t* r, std::uint16_t* s, int n) { body::addRow(r, s, n); }                      \
    TARGET void binColumns(const std::uint16_t* s, std::uint8_t* o, int n, int b) { body::binColumns(s, o, n, b); }    \
    TARGET void halveRows(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* o, int n)                        \
    {                                                                                                                  \
        body::halveRows(a, b, o, n);                                                                                   \
    }                                                                                                                  \
    TARGET std::uint64_t absDifference(const std::uint8_t* a, const std::uint8_t* b, int n, int r, std::ptrdiff_t s,  \
                                       std::uint64_t d)                                                                \
    {                                                                                                                  \
        return body::absDifference(a, b, n, r, s, d);                                                                  \
    }                                                                                                                  \
    TARGET void roundLevels(const std::uint16_t* s, std::uint8_t* o, int n) { body::roundLevels(s, o, n); }            \
    TARGET void applyLight(std::uint8_t* e, const float* g, const float* o, std::uint8_t* u, int n)                   \
    {                                                                                                                  \
        body::applyLight(e, g, o, u, n);                                                                               \
    }                                                                                                                  \
    TARGET void boxSums(const std::uint8_t* i, std::uint16_t* o, std::uint16_t* c, int w, int h)                     \
    {                                                                                                                  \
        body::boxSums(i, o, c, w, h);                                                                                  \
    }                                                                                                                  \
    TARGET void rangeColumn(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint16_t* l,  \
                            std::uint16_t* h, int n)                                                                   \
    {                                                                                                                  \
        body::rangeColumn(a, b, c, l, h, n);                                                                           \
    }                                                                                                                  \
    TARGET bool beyondLimits(const std::uint16_t* s, const std::uint16_t* e, const std::int16_t* t, int n)             \
    {                                                                                                                  \
        return body::beyondLimits(s, e, t, n);                                                                         \
    }                                                                                                                  \
    TARGET int markRange(const std::uint16_t* s, const std::uint16_t* l, const std::uint16_t* h, const std::int16_t* t, \
                         const std::uint8_t* w, const std::uint8_t* u, std::uint8_t* st, int n, int width)             \
    {                                                                                                                  \
        return body::markRange(s, l, h, t, w, u, st, n, width);                                                        \
    }                                                                                                                  \
    TARGET void largestAlong(const std::uint8_t* i, std::uint8_t* o, int n, int r) { body::largestAlong(i, o, n, r); } \
    constexpr SceneKernels set{.addRow = addRow,                                                                       \
                               .binColumns = binColumns,                                                               \
                               .halveRows = halveRows,                                                                 \
                               .quarterRows = quarterRows,                                                             \
                               .absDifference = absDifference,                                                         \
                               .roundLevels = roundLevels,                                                             \
                               .applyLight = applyLight,                                                               \
                               .lightSums = lightSums,                                                                 \
                               .boxSums = boxSums,                                                                     \
                               .rangeColumn = rangeColumn,                                                             \
                               .beyondLimits = beyondLimits,                                                           \
                               .noiseSums = noiseSums,                                                                 \
                               .markRange = markRange,                                                                 \
                               .learnRow = learnRow,                                                                   \
                               .largestAlong = largestAlong};                                                          \
    }

SCENE_KERNEL_SET(portable, )
#if defined(__x86_64__)
SCENE_KERNEL_SET(avx2, __attribute__((target("avx2"))))
SCENE_KERNEL_SET(avx512, __attribute__((target("avx2,avx512f,avx512bw"))))
#endif

} // namespace

const SceneKernels* sceneKernels(CpuVariant variant)
{
    if (!cpuRuns(variant))
        return nullptr;
    switch (variant) {
#if defined(__x86_64__)
    case CpuVariant::avx512:
        return &avx512::set;
    case CpuVariant::avx2:
        return &avx2::set;
#else
    case CpuVariant::avx512:
    case CpuVariant::avx2:
        return nullptr;
#endif
    case CpuVariant::popcount:
    case CpuVariant::portable:
        return &portable::set;
    }
    return nullptr;
}

const SceneKernels& bestSceneKernels()
{
    for (CpuVariant v : {CpuVariant::avx512, CpuVariant::avx2})
        if (const SceneKernels* k = sceneKernels(v))
            return *k;
    return portable::set;
}

} // namespace analysis::kernels
