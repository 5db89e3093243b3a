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

#include <array>
#include <bit>
#include <cmath>

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

// Eight pixels as words (11 B + 59 G, 30 R): four from `low` in the low 128-bit lane,
// four from `high` in the high lane. Each lane reads 16 bytes, of which the first 12
// are its four pixels.
__attribute__((target("avx2"))) inline __m256i weighEight(const std::uint8_t* low, const std::uint8_t* high)
{
    const __m256i spread = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(0, 1, 3, 4, 6, 7, 9, 10, 2, -1, 5, -1, 8, -1, 11, -1));
    const __m256i weights = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(11, 59, 11, 59, 11, 59, 11, 59, 30, 0, 30, 0, 30, 0, 30, 0));
    const __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
    return _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, spread), weights);
}

// Sixteen pixels, 0-7 from p and 16-23 from p + 48 (pixels of 3 bytes), as words of
// floor((N + 50) / 100) and of whether N is a tie, in that order.
__attribute__((target("avx2"))) inline void levelsOfSixteen(const std::uint8_t* p, __m256i& quotient, __m256i& tie)
{
    const __m256i a = weighEight(p, p + 48), b = weighEight(p + 12, p + 60);
    const __m256i n = _mm256_add_epi16(_mm256_add_epi16(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b)),
                                       _mm256_set1_epi16(50));
    // (n * 5243) >> 19 == n / 100 for every n below 32768.
    quotient = _mm256_srli_epi16(_mm256_mulhi_epu16(n, _mm256_set1_epi16(5243)), 3);
    tie = _mm256_cmpeq_epi16(_mm256_mullo_epi16(quotient, _mm256_set1_epi16(100)), n);
}

// 32 pixels, their levels stored and their ties returned as a bit mask. The words of
// the two halves, pixels 0-7 | 16-23 and 8-15 | 24-31, pack into pixel order. The last
// load reads 4 bytes past the 96 bytes of the pixels.
__attribute__((target("avx2"))) inline std::uint32_t grayOfThirtyTwo(const std::uint8_t* p, std::uint8_t* gray)
{
    __m256i q0, t0, q1, t1;
    levelsOfSixteen(p, q0, t0);
    levelsOfSixteen(p + 24, q1, t1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(gray), _mm256_packus_epi16(q0, q1));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(t0, t1)));
}

// Ties are rare (about one pixel in a hundred) and scattered: a branch on them inside
// the vector loop would mispredict often and lengthen each round's chain. So a stretch
// of rounds first stores its levels and tie masks; a scalar pass then lowers the tie
// pixels that round down, walking the set bits of two rounds' masks at a time.
__attribute__((target("avx2,bmi"))) void grayRowAvx2Impl(const std::uint8_t* bgr, std::uint8_t* gray, int width)
{
    constexpr int stretch = 64;
    const TieTable& ties = tieTable();
    std::uint32_t masks[stretch + 1];
    int x = 0;
    while (3 * x + 100 <= 3 * width) {
        const int start = x;
        int rounds = 0;
        for (; rounds < stretch && 3 * x + 100 <= 3 * width; ++rounds, x += 32)
            masks[rounds] = grayOfThirtyTwo(bgr + 3 * x, gray + x);
        masks[rounds] = 0;
        for (int round = 0; round < rounds; round += 2) {
            const int base = start + 32 * round;
            std::uint64_t tieBits = masks[round] | std::uint64_t(masks[round + 1]) << 32;
            while (tieBits != 0) {
                const int i = base + std::countr_zero(tieBits);
                gray[i] = std::uint8_t(gray[i] - roundsDown(ties, bgr[3 * i + 2], bgr[3 * i + 1], bgr[3 * i]));
                tieBits &= tieBits - 1;
            }
        }
    }
    grayRowPortable(bgr + 3 * x, gray + x, width - x);
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

GrayRow bestGrayRow()
{
    static const GrayRow best = grayRowAvx2() ? grayRowAvx2() : grayRowPortable;
    return best;
}

} // namespace analysis::kernels
