// The luma of the 80-bit extended arithmetic, computed in integers.
//
// With N = 30 R + 59 G + 11 B the exact decimal luma is N / 100, and the extended
// value differs from it by far less than the distance to the next half, so
// floor((N + 50) / 100) is the extended result for every colour except the ties
// (N mod 100 = 50). There the extended value lies just above or just below the half,
// or on it, and no linear formula tells which. For a given red and green a tie pins
// blue modulo 100, so one byte per (red, green) holds the rounding of every tie: bit
// blue / 100 is set where the extended result is the lower neighbour. The table is
// filled once from the extended arithmetic itself.

#include "Kernels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace analysis::kernels {

std::uint8_t grayReference(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    static_assert(sizeof(long double) > sizeof(double), "needs the 80-bit extended format");
    long double sum = static_cast<long double>(r) * 0.3L;
    sum = sum + static_cast<long double>(g) * 0.59L;
    sum = sum + static_cast<long double>(b) * 0.11L;
    return static_cast<std::uint8_t>(std::nearbyintl(sum));
}

namespace {

constexpr int tieRemainder = 50;
static_assert((11 * 91) % 100 == 1, "91 inverts the blue weight modulo 100");
static_assert(30 * 255 + 59 * 255 + 11 * 255 + 50 < 32768, "N + 50 fits a signed 16-bit lane");

using TieTable = std::array<std::uint8_t, 256 * 256>;

TieTable makeTieTable()
{
    TieTable table{};
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            const int firstBlue = ((91 * (tieRemainder - 30 * r - 59 * g)) % 100 + 100) % 100;
            std::uint8_t bits = 0;
            for (int b = firstBlue; b < 256; b += 100) {
                const int n = 30 * r + 59 * g + 11 * b;
                if (grayReference(std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)) < (n + 50) / 100)
                    bits = std::uint8_t(bits | 1 << (b / 100));
            }
            table[r * 256 + g] = bits;
        }
    }
    return table;
}

const TieTable& tieTable()
{
    static const TieTable table = makeTieTable();
    return table;
}

inline int roundsDown(const TieTable& ties, int r, int g, int b)
{
    return ties[r * 256 + g] >> (b / 100) & 1;
}

// The level of pixel i: floor((N + 50) / 100), one lower for a tie that rounds down.
inline void grayPixel(const TieTable& ties, const std::uint8_t* bgr, std::uint8_t* gray, int i)
{
    const int b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
    const int n = 30 * r + 59 * g + 11 * b + 50;
    const int q = n / 100;
    gray[i] = std::uint8_t(q - (roundsDown(ties, r, g, b) & static_cast<int>(q * 100 == n)));
}

#if defined(__x86_64__)

// Eight pixels as words (11 B + 59 G, 30 R) from one 32-byte load that starts 4 bytes
// before them: pixels 0-3 lie at bytes 4-15 of the low 128-bit lane, pixels 4-7 at bytes
// 0-11 of the high lane, so no lane crossing is needed.
__attribute__((target("avx2"))) inline __m256i weighEight(const std::uint8_t* pixels)
{
    const __m256i spread = _mm256_setr_epi8(4, 5, 7, 8, 10, 11, 13, 14, 6, -1, 9, -1, 12, -1, 15, -1,  //
                                            0, 1, 3, 4, 6, 7, 9, 10, 2, -1, 5, -1, 8, -1, 11, -1);
    const __m256i weights = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(11, 59, 11, 59, 11, 59, 11, 59, 30, 0, 30, 0, 30, 0, 30, 0));
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels - 4));
    return _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, spread), weights);
}

// Sixteen pixels as words of floor((N + 50) / 100) and of whether N is a tie, in the
// order 0-3, 8-11 | 4-7, 12-15.
__attribute__((target("avx2"))) inline void levelsOfSixteen(const std::uint8_t* p, __m256i& quotient, __m256i& tie)
{
    const __m256i a = weighEight(p), b = weighEight(p + 24);
    const __m256i n = _mm256_add_epi16(_mm256_add_epi16(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b)),
                                       _mm256_set1_epi16(50));
    // (n * 5243) >> 19 == n / 100 for every n below 32768.
    quotient = _mm256_srli_epi16(_mm256_mulhi_epu16(n, _mm256_set1_epi16(5243)), 3);
    tie = _mm256_cmpeq_epi16(_mm256_mullo_epi16(quotient, _mm256_set1_epi16(100)), n);
}

// 32 pixels: their levels stored and their ties returned as a bit mask. The loads reach
// 4 bytes before and 4 bytes past the 96 bytes of the pixels. Packed, the four-pixel
// groups lie in the order 0 2 4 6 | 1 3 5 7; one permutation puts them in place.
__attribute__((target("avx2"))) inline std::uint32_t grayOfThirtyTwo(const std::uint8_t* p, std::uint8_t* gray)
{
    __m256i q0, t0, q1, t1;
    levelsOfSixteen(p, q0, t0);
    levelsOfSixteen(p + 48, q1, t1);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(gray),
                        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(q0, q1), order));
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_permutevar8x32_epi32(_mm256_packs_epi16(t0, t1), order)));
}

// Lowers the tie pixels in `ties` (bit i: pixel i) that round down.
inline void lowerTies(const TieTable& table, const std::uint8_t* bgr, std::uint8_t* gray, std::uint64_t ties)
{
    for (; ties != 0; ties &= ties - 1) {
        const int i = std::countr_zero(ties);
        gray[i] = std::uint8_t(gray[i] - roundsDown(table, bgr[3 * i + 2], bgr[3 * i + 1], bgr[3 * i]));
    }
}

// Up to 32 pixels through a local copy, where the loads around them stay inside: the
// first pixels of a row (nothing before them) and its last (nothing after them).
__attribute__((target("avx2"))) void grayThroughCopy(const TieTable& table, const std::uint8_t* bgr,
                                                      std::uint8_t* gray, int count)
{
    std::uint8_t in[4 + 96 + 4] = {};
    std::uint8_t out[32];
    std::memcpy(in + 4, bgr, 3 * static_cast<std::size_t>(count));
    const std::uint32_t ties = grayOfThirtyTwo(in + 4, out);
    lowerTies(table, in + 4, out, count < 32 ? ties & ((1u << count) - 1) : ties);
    std::memcpy(gray, out, static_cast<std::size_t>(count));
}

// The lowest tie of `ties`, or pixel 0 when there is none, recomputed with its rounding
// and stored: a fixed amount of work without a branch on the pixels.
inline void settleLowestTie(const TieTable& table, const std::uint8_t* bgr, std::uint8_t* gray, std::uint64_t ties)
{
    const int i = ties != 0 ? std::countr_zero(ties) : 0;
    grayPixel(table, bgr, gray, i);
}

// Ties are rare (about one pixel in a hundred) and scattered. Branching on them in the
// vector loop mispredicts often, and each miss waits for pixels still on their way from
// memory. So a stretch of rounds of 64 pixels first stores its levels and tie masks;
// then, on pixels now in the cache, one tie per round is settled without a branch and
// the few rounds with more go through a loop. While it runs the next stretch is fetched.
__attribute__((target("avx2,bmi"))) void grayRowAvx2Impl(const std::uint8_t* bgr, std::uint8_t* gray, int width)
{
    constexpr int stretch = 64;
    const TieTable& table = tieTable();
    if (width <= 0)
        return;
    // The loads of the first pixels would reach before the row.
    int x = std::min(32, width);
    grayThroughCopy(table, bgr, gray, x);
    std::uint64_t masks[stretch];
    while (3 * (x + 64) + 4 <= 3 * width) {
        const int start = x;
        int rounds = 0;
        for (; rounds < stretch && 3 * (x + 64) + 4 <= 3 * width; ++rounds, x += 64)
            masks[rounds] = grayOfThirtyTwo(bgr + 3 * x, gray + x) |
                            std::uint64_t(grayOfThirtyTwo(bgr + 3 * x + 96, gray + x + 32)) << 32;
        for (int round = 0; round < rounds; ++round) {
            if (x + 64 * (round + 1) <= width) {
                const char* ahead = reinterpret_cast<const char*>(bgr + 3 * (x + 64 * round));
                _mm_prefetch(ahead, _MM_HINT_T0);
                _mm_prefetch(ahead + 64, _MM_HINT_T0);
                _mm_prefetch(ahead + 128, _MM_HINT_T0);
            }
            const int at = start + 64 * round;
            settleLowestTie(table, bgr + 3 * at, gray + at, masks[round]);
            const std::uint64_t more = masks[round] & (masks[round] - 1);
            if (more != 0)
                lowerTies(table, bgr + 3 * at, gray + at, more);
        }
    }
    for (; 3 * (x + 32) + 4 <= 3 * width; x += 32)
        lowerTies(table, bgr + 3 * x, gray + x, grayOfThirtyTwo(bgr + 3 * x, gray + x));
    for (; x < width; x += 32)
        grayThroughCopy(table, bgr + 3 * x, gray + x, std::min(32, width - x));
}

// 64 pixels (192 bytes, read exactly) with AVX-512: byte permutations across two
// registers gather the blue-green pairs and the red bytes of 32 pixels each in pixel
// order, the red ones paired with a 1 that carries the + 50.
alignas(64) constexpr std::uint8_t blueGreenBytes[64] = {
    0,  1,  3,  4,  6,  7,  9,  10, 12, 13, 15, 16, 18, 19, 21, 22, 24, 25, 27, 28, 30, 31,
    33, 34, 36, 37, 39, 40, 42, 43, 45, 46, 48, 49, 51, 52, 54, 55, 57, 58, 60, 61, 63, 64,
    66, 67, 69, 70, 72, 73, 75, 76, 78, 79, 81, 82, 84, 85, 87, 88, 90, 91, 93, 94};
// Red bytes in the even places; the odd places hold the 1 that the permutation keeps.
alignas(64) constexpr std::uint8_t redBytesAndOnes[64] = {
    2,  1, 5,  1, 8,  1, 11, 1, 14, 1, 17, 1, 20, 1, 23, 1, 26, 1, 29, 1, 32, 1,
    35, 1, 38, 1, 41, 1, 44, 1, 47, 1, 50, 1, 53, 1, 56, 1, 59, 1, 62, 1, 65, 1,
    68, 1, 71, 1, 74, 1, 77, 1, 80, 1, 83, 1, 86, 1, 89, 1, 92, 1, 95, 1};
constexpr __mmask64 evenBytes = 0x5555555555555555;

// 32 pixels from the 128 bytes low:high at the byte places of `blueGreen` and `red`, as
// words of floor((N + 50) / 100) and a mask of their ties.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline void levelsOfThirtyTwo512(
    __m512i low, __m512i high, __m512i blueGreen, __m512i red, __m512i& quotient, __mmask32& tie)
{
    const __m512i bg = _mm512_permutex2var_epi8(low, blueGreen, high);
    const __m512i r1 = _mm512_mask2_permutex2var_epi8(low, red, evenBytes, high);
    const __m512i n = _mm512_add_epi16(_mm512_maddubs_epi16(bg, _mm512_set1_epi16(59 << 8 | 11)),
                                       _mm512_maddubs_epi16(r1, _mm512_set1_epi16(50 << 8 | 30)));
    quotient = _mm512_srli_epi16(_mm512_mulhi_epu16(n, _mm512_set1_epi16(5243)), 3);
    tie = _mm512_cmpeq_epi16_mask(_mm512_mullo_epi16(quotient, _mm512_set1_epi16(100)), n);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline std::uint64_t grayOfSixtyFour(const std::uint8_t* p,
                                                                                           std::uint8_t* gray)
{
    const __m512i v0 = _mm512_loadu_si512(p), v1 = _mm512_loadu_si512(p + 64), v2 = _mm512_loadu_si512(p + 128);
    const __m512i blueGreen = _mm512_load_si512(blueGreenBytes), red = _mm512_load_si512(redBytesAndOnes);
    __m512i q0, q1;
    __mmask32 t0, t1;
    levelsOfThirtyTwo512(v0, v1, blueGreen, red, q0, t0);
    // Pixels 32-63 start at byte 96, 32 bytes into v1.
    const __m512i by32 = _mm512_set1_epi8(32);
    levelsOfThirtyTwo512(v1, v2, _mm512_add_epi8(blueGreen, by32), _mm512_mask_add_epi8(red, evenBytes, red, by32),
                         q1, t1);
    // Packed, the eight-pixel groups lie in the order 0 4 | 1 5 | 2 6 | 3 7.
    const __m512i packed = _mm512_packus_epi16(q0, q1);
    _mm512_storeu_si512(gray, _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), packed));
    return t0 | std::uint64_t(t1) << 32;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi"))) void grayRowAvx512Impl(const std::uint8_t* bgr,
                                                                                   std::uint8_t* gray, int width)
{
    constexpr int stretch = 64;
    const TieTable& table = tieTable();
    std::uint64_t masks[stretch];
    int x = 0;
    while (x + 64 <= width) {
        const int start = x;
        int rounds = 0;
        for (; rounds < stretch && x + 64 <= width; ++rounds, x += 64)
            masks[rounds] = grayOfSixtyFour(bgr + 3 * x, gray + x);
        for (int round = 0; round < rounds; ++round) {
            if (x + 64 * (round + 1) <= width) {
                const char* ahead = reinterpret_cast<const char*>(bgr + 3 * (x + 64 * round));
                _mm_prefetch(ahead, _MM_HINT_T0);
                _mm_prefetch(ahead + 64, _MM_HINT_T0);
                _mm_prefetch(ahead + 128, _MM_HINT_T0);
            }
            const int at = start + 64 * round;
            settleLowestTie(table, bgr + 3 * at, gray + at, masks[round]);
            const std::uint64_t more = masks[round] & (masks[round] - 1);
            if (more != 0)
                lowerTies(table, bgr + 3 * at, gray + at, more);
        }
    }
    if (x < width) {
        const int count = width - x;
        std::uint8_t in[192] = {};
        std::uint8_t out[64];
        std::memcpy(in, bgr + 3 * x, 3 * static_cast<std::size_t>(count));
        lowerTies(table, in, out, grayOfSixtyFour(in, out) & ((std::uint64_t(1) << count) - 1));
        std::memcpy(gray + x, out, static_cast<std::size_t>(count));
    }
}

#endif

} // namespace

void grayRowPortable(const std::uint8_t* bgr, std::uint8_t* gray, int width)
{
    const TieTable& ties = tieTable();
    for (int x = 0; x < width; ++x)
        grayPixel(ties, bgr, gray, x);
}

GrayRow grayRowAvx2()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi"))
        return grayRowAvx2Impl;
#endif
    return nullptr;
}

GrayRow grayRowAvx512()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi"))
        return grayRowAvx512Impl;
#endif
    return nullptr;
}

GrayRow bestGrayRow()
{
    static const GrayRow best = grayRowAvx512() ? grayRowAvx512() : grayRowAvx2() ? grayRowAvx2() : grayRowPortable;
    return best;
}

} // namespace analysis::kernels
