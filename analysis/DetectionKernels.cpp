#include "DetectionKernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "CpuVariant.h"

namespace analysis::kernels {

namespace {

// Stores the 32 bits of pixels x0 .. x0 + 31 (x0 a multiple of 32) in a row of 64-bit words.
inline void store(std::uint64_t* row, int x0, std::uint32_t bits)
{
    std::memcpy(reinterpret_cast<unsigned char*>(row) + x0 / 8, &bits, sizeof bits);
}

// The plain arithmetic for pixels [from, width), from a multiple of 32.
std::uint32_t detectTail(const std::uint8_t* earlier, const std::uint8_t* later, int from, int width,
                         const Compensation& light, const std::uint8_t* thresholds, std::uint64_t* brightBits,
                         std::uint64_t* darkBits, std::uint64_t* groupSums)
{
    std::uint32_t any = 0;
    for (int x0 = from; x0 < width; x0 += 32) {
        std::uint32_t bright = 0, dark = 0;
        const int t = thresholds[x0 / 32];
        for (int x = x0; x < std::min(x0 + 32, width); ++x) {
            int upFrom = earlier[x], downFrom = earlier[x];
            if (light.on) {
                const int e = light.apply(earlier[x]);
                upFrom = earlier[x] >= whiteClip ? 255 : e;
                downFrom = earlier[x] <= blackClip ? 0 : e;
            }
            const int up = std::max(later[x] - upFrom, 0), down = std::max(downFrom - later[x], 0);
            if (up > t)
                bright |= 1u << (x - x0);
            else if (down > t)
                dark |= 1u << (x - x0);
            if (groupSums)
                groupSums[x / 8] += std::uint64_t(std::min(up + down, noiseClip));
        }
        store(brightBits, x0, bright);
        store(darkBits, x0, dark);
        any |= bright | dark;
    }
    return any;
}

// The words of [from, to) that hold a set bit, added to `found` (words before `from`).
Span changedWords(const std::uint64_t* brightBits, const std::uint64_t* darkBits, int from, int to, Span found)
{
    for (int i = from; i < to; ++i)
        if (brightBits[i] | darkBits[i]) {
            found.first = found.empty() ? i : found.first;
            found.last = i + 1;
        }
    return found;
}

// The row's last 64-bit word, whose upper half the 32-bit stores may leave alone.
inline void clearLastWord(std::uint64_t* brightBits, std::uint64_t* darkBits, int width)
{
    if (width > 0) {
        brightBits[(width - 1) / 64] = 0;
        darkBits[(width - 1) / 64] = 0;
    }
}

} // namespace

Span detectRowPortable(const std::uint8_t* earlier, const std::uint8_t* later, int width, const Compensation& light,
                       const std::uint8_t* thresholds, std::uint64_t* brightBits, std::uint64_t* darkBits,
                       std::uint64_t* groupSums)
{
    clearLastWord(brightBits, darkBits, width);
    if (!detectTail(earlier, later, 0, width, light, thresholds, brightBits, darkBits, groupSums))
        return {};
    return changedWords(brightBits, darkBits, 0, (width + 63) / 64, {});
}

#if defined(__x86_64__)

namespace {

// How far ahead of the pixels in hand the frames are fetched: the steps are long enough
// (the compensation's arithmetic or lookups) that the processor keeps too few of them in
// flight to hide the wait for memory on frames beyond the caches.
constexpr int prefetchAhead = 1024;

// level x gain <= 255 x 255 and the half added keep every step inside 16 bits.
__attribute__((target("avx2"))) inline __m256i compensate16(__m256i levels, __m256i gain, __m256i half,
                                                            __m128i shift, __m256i offset)
{
    const __m256i scaled = _mm256_srl_epi16(_mm256_add_epi16(_mm256_mullo_epi16(levels, gain), half), shift);
    return _mm256_adds_epi16(scaled, offset);
}

// The compensation's constants, set once a row.
struct CompensationVectors {
    __m256i gain, half, offset;
    __m128i shift;
};

__attribute__((target("avx2"))) inline __m256i compensate(__m256i e, const CompensationVectors& c)
{
    const __m256i zero = _mm256_setzero_si256();
    return _mm256_packus_epi16(compensate16(_mm256_unpacklo_epi8(e, zero), c.gain, c.half, c.shift, c.offset),
                               compensate16(_mm256_unpackhi_epi8(e, zero), c.gain, c.half, c.shift, c.offset));
}

template <bool Light, bool Noise>
__attribute__((target("avx2"))) Span detectRowAvx2Impl(const std::uint8_t* earlier, const std::uint8_t* later,
                                                       int width, const Compensation& light,
                                                       const std::uint8_t* thresholds, std::uint64_t* brightBits,
                                                       std::uint64_t* darkBits, std::uint64_t* groupSums)
{
    clearLastWord(brightBits, darkBits, width);
    std::uint32_t any = 0;
    const CompensationVectors c{_mm256_set1_epi16(static_cast<short>(light.gain)),
                                _mm256_set1_epi16(static_cast<short>(1 << (light.shift - 1))),
                                _mm256_set1_epi16(light.offset), _mm_cvtsi32_si128(light.shift)};
    const __m256i clip = _mm256_set1_epi8(noiseClip);
    const __m256i topBit = _mm256_set1_epi8(127);
    const __m256i white = _mm256_set1_epi8(static_cast<char>(whiteClip));
    const __m256i black = _mm256_set1_epi8(blackClip);
    const __m256i zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        if (x % 64 == 0) {
            _mm_prefetch(reinterpret_cast<const char*>(earlier + x + prefetchAhead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(later + x + prefetchAhead), _MM_HINT_T0);
        }
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(earlier + x));
        __m256i upFrom = e, downFrom = e;
        if constexpr (Light) {
            const __m256i compensated = compensate(e, c);
            upFrom = _mm256_or_si256(compensated, _mm256_cmpeq_epi8(_mm256_max_epu8(e, white), e));
            downFrom = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(e, black), e), compensated);
        }
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(later + x));
        const __m256i t = _mm256_set1_epi8(static_cast<char>(thresholds[x / 32]));
        // later - from > t exactly where later -sat (from +sat t) is not 0; adding 127 with
        // saturation moves "not 0" into the top bit.
        const auto bright = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_adds_epu8(_mm256_subs_epu8(l, _mm256_adds_epu8(upFrom, t)), topBit)));
        const auto dark = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_adds_epu8(_mm256_subs_epu8(downFrom, _mm256_adds_epu8(l, t)), topBit)));
        store(brightBits, x, bright);
        store(darkBits, x, dark);
        any |= bright | dark;
        if constexpr (Noise) {
            const __m256i magnitude =
                _mm256_min_epu8(_mm256_or_si256(_mm256_subs_epu8(l, upFrom), _mm256_subs_epu8(downFrom, l)), clip);
            auto* sums = reinterpret_cast<__m256i*>(groupSums + x / 8);
            _mm256_storeu_si256(sums, _mm256_add_epi64(_mm256_loadu_si256(sums), _mm256_sad_epu8(magnitude, zero)));
        }
    }
    any |= detectTail(earlier, later, x, width, light, thresholds, brightBits, darkBits, groupSums);
    return any ? changedWords(brightBits, darkBits, 0, (width + 63) / 64, {}) : Span{};
}

Span detectRowAvx2Dispatch(const std::uint8_t* earlier, const std::uint8_t* later, int width,
                           const Compensation& light, const std::uint8_t* thresholds, std::uint64_t* brightBits,
                           std::uint64_t* darkBits, std::uint64_t* groupSums)
{
    if (light.on)
        return groupSums ? detectRowAvx2Impl<true, true>(earlier, later, width, light, thresholds, brightBits,
                                                         darkBits, groupSums)
                         : detectRowAvx2Impl<true, false>(earlier, later, width, light, thresholds, brightBits,
                                                          darkBits, groupSums);
    return groupSums ? detectRowAvx2Impl<false, true>(earlier, later, width, light, thresholds, brightBits, darkBits,
                                                      groupSums)
                     : detectRowAvx2Impl<false, false>(earlier, later, width, light, thresholds, brightBits,
                                                       darkBits, groupSums);
}

#define DETECTION_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// 64 pixels a step, each compare giving the 64 bits of a word of the planes at once, and the
// compensation looked up (a permutation over the 256 levels) rather than computed.
template <bool Light, bool Noise>
DETECTION_AVX512 Span detectRowAvx512Impl(const std::uint8_t* earlier, const std::uint8_t* later, int width,
                                          const Compensation& light, const std::uint8_t* thresholds,
                                          std::uint64_t* brightBits, std::uint64_t* darkBits,
                                          std::uint64_t* groupSums)
{
    clearLastWord(brightBits, darkBits, width);
    Span found;
    __m512i table[4];
    for (int i = 0; i < 4; ++i)
        table[i] = Light ? _mm512_loadu_si512(light.levels.data() + 64 * i) : _mm512_setzero_si512();
    const __m512i clip = _mm512_set1_epi8(noiseClip);
    const __m512i white = _mm512_set1_epi8(static_cast<char>(whiteClip));
    const __m512i black = _mm512_set1_epi8(blackClip);
    const __m512i full = _mm512_set1_epi8(-1);
    const __m512i zero = _mm512_setzero_si512();
    int x = 0;
    for (; x + 64 <= width; x += 64) {
        _mm_prefetch(reinterpret_cast<const char*>(earlier + x + prefetchAhead), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(later + x + prefetchAhead), _MM_HINT_T0);
        const __m512i e = _mm512_loadu_si512(earlier + x);
        const __m512i l = _mm512_loadu_si512(later + x);
        const __m512i t = _mm512_mask_blend_epi8(0xffffffff00000000ull,
                                                 _mm512_set1_epi8(static_cast<char>(thresholds[x / 32])),
                                                 _mm512_set1_epi8(static_cast<char>(thresholds[x / 32 + 1])));
        // Brightened: later > from + t; darkened: later < from - t (both saturating, so that
        // a sum past white or a difference below black never counts).
        std::uint64_t bright, dark;
        __m512i upFrom = e, downFrom = e;
        if constexpr (Light) {
            const __m512i compensated =
                _mm512_mask_blend_epi8(_mm512_movepi8_mask(e), _mm512_permutex2var_epi8(table[0], e, table[1]),
                                       _mm512_permutex2var_epi8(table[2], e, table[3]));
            const __mmask64 belowWhite = _mm512_cmplt_epu8_mask(e, white);
            const __mmask64 aboveBlack = _mm512_cmpgt_epu8_mask(e, black);
            bright = _mm512_mask_cmpgt_epu8_mask(belowWhite, l, _mm512_adds_epu8(compensated, t));
            dark = _mm512_mask_cmplt_epu8_mask(aboveBlack, l, _mm512_subs_epu8(compensated, t));
            upFrom = _mm512_mask_blend_epi8(belowWhite, full, compensated);
            downFrom = _mm512_maskz_mov_epi8(aboveBlack, compensated);
        } else {
            bright = _mm512_cmpgt_epu8_mask(l, _mm512_adds_epu8(e, t));
            dark = _mm512_cmplt_epu8_mask(l, _mm512_subs_epu8(e, t));
        }
        brightBits[x / 64] = bright;
        darkBits[x / 64] = dark;
        if (bright | dark) {
            found.first = found.empty() ? x / 64 : found.first;
            found.last = x / 64 + 1;
        }
        if constexpr (Noise) {
            const __m512i magnitude =
                _mm512_min_epu8(_mm512_or_si512(_mm512_subs_epu8(l, upFrom), _mm512_subs_epu8(downFrom, l)), clip);
            auto* sums = reinterpret_cast<__m512i*>(groupSums + x / 8);
            _mm512_storeu_si512(sums, _mm512_add_epi64(_mm512_loadu_si512(sums), _mm512_sad_epu8(magnitude, zero)));
        }
    }
    if (!detectTail(earlier, later, x, width, light, thresholds, brightBits, darkBits, groupSums))
        return found;
    return changedWords(brightBits, darkBits, x / 64, (width + 63) / 64, found);
}

Span detectRowAvx512Dispatch(const std::uint8_t* earlier, const std::uint8_t* later, int width,
                             const Compensation& light, const std::uint8_t* thresholds, std::uint64_t* brightBits,
                             std::uint64_t* darkBits, std::uint64_t* groupSums)
{
    if (light.on)
        return groupSums ? detectRowAvx512Impl<true, true>(earlier, later, width, light, thresholds, brightBits,
                                                           darkBits, groupSums)
                         : detectRowAvx512Impl<true, false>(earlier, later, width, light, thresholds, brightBits,
                                                            darkBits, groupSums);
    return groupSums ? detectRowAvx512Impl<false, true>(earlier, later, width, light, thresholds, brightBits,
                                                        darkBits, groupSums)
                     : detectRowAvx512Impl<false, false>(earlier, later, width, light, thresholds, brightBits,
                                                         darkBits, groupSums);
}

} // namespace

DetectRow detectRowAvx2()
{
    return cpuRuns(CpuVariant::avx2) ? detectRowAvx2Dispatch : nullptr;
}

DetectRow detectRowAvx512()
{
    return cpuRuns(CpuVariant::avx512) ? detectRowAvx512Dispatch : nullptr;
}

#else

DetectRow detectRowAvx2()
{
    return nullptr;
}

DetectRow detectRowAvx512()
{
    return nullptr;
}

#endif

DetectRow bestDetectRow()
{
    return detectRowAvx512() ? detectRowAvx512() : detectRowAvx2() ? detectRowAvx2() : detectRowPortable;
}

} // namespace analysis::kernels
