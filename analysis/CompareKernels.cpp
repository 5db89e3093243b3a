#include "Kernels.h"

#include <array>
#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "CpuVariant.h"

namespace analysis::kernels {

void compareRowPortable(const std::uint8_t* earlier, const std::uint8_t* later, std::uint8_t* picture, int width,
                        std::uint8_t t, CompareSums& sums)
{
    const int threshold = t;
    for (int x = 0; x < width; ++x) {
        const int d = later[x] - earlier[x];
        std::uint8_t* p = picture + 3 * x;
        if (d > threshold) {
            p[0] = 0;
            p[1] = 0;
            p[2] = std::uint8_t(d + 128);
            ++sums.brightCount;
            sums.brightWeight += d;
            sums.brightSumX += std::int64_t(x) * d;
        } else if (d < -threshold) {
            p[0] = std::uint8_t(-d + 128);
            p[1] = 0;
            p[2] = 0;
            ++sums.darkCount;
            sums.darkWeight += d;
            sums.darkSumX += std::int64_t(x) * d;
        } else {
            const std::uint8_t level = d == threshold ? 192 : 255;
            p[0] = level;
            p[1] = level;
            p[2] = level;
        }
    }
}

#if defined(__x86_64__)

namespace {

// pshufb masks that interleave 16 blue, green and red bytes into 48 bytes: mask
// [plane][chunk] picks, for each byte of output chunk `chunk`, the byte of `plane`
// that belongs there, or zero.
constexpr std::array<std::array<std::array<std::int8_t, 16>, 3>, 3> interleaveMasks()
{
    std::array<std::array<std::array<std::int8_t, 16>, 3>, 3> masks{};
    for (int plane = 0; plane < 3; ++plane)
        for (int chunk = 0; chunk < 3; ++chunk)
            for (int k = 0; k < 16; ++k) {
                const int j = 16 * chunk + k;
                masks[plane][chunk][k] = std::int8_t(j % 3 == plane ? j / 3 : -128);
            }
    return masks;
}

constexpr auto masks = interleaveMasks();

// Sums of one polarity over a row's rounds: magnitudes m (bytes) of the pixels that
// count. With W_r the weight of round r of R, the x sum is 32 x the sum of r W_r, which
// is R x weight - growing, plus the in-round sums; so no round multiplies by its position.
struct Accumulator {
    __m256i weight{};  // 4 x 64-bit sums of m
    __m256i growing{}; // 4 x 64-bit: the weight so far, summed after every round
    __m256i inRound{}; // 8 x 32-bit sums of (x - the round's first x) * m
    std::int64_t pixels = 0;
};

// Adds the magnitudes of the pixels that count (those not in `notCounted`) of a round.
__attribute__((target("avx2"))) inline void accumulate(Accumulator& acc, __m256i notCounted, __m256i magnitude,
                                                       __m256i laneIndex)
{
    const __m256i m = _mm256_andnot_si256(notCounted, magnitude);
    acc.pixels += 32 - std::popcount(static_cast<std::uint32_t>(_mm256_movemask_epi8(notCounted)));
    acc.weight = _mm256_add_epi64(acc.weight, _mm256_sad_epu8(m, _mm256_setzero_si256()));
    acc.growing = _mm256_add_epi64(acc.growing, acc.weight);
    const __m256i byIndex = _mm256_madd_epi16(_mm256_maddubs_epi16(m, laneIndex), _mm256_set1_epi16(1));
    acc.inRound = _mm256_add_epi32(acc.inRound, byIndex);
}

__attribute__((target("avx2"))) inline std::int64_t sum64(__m256i v)
{
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

__attribute__((target("avx2"))) inline std::int64_t sum32(__m256i v)
{
    alignas(32) std::int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    std::int64_t total = 0;
    for (std::int32_t lane : lanes)
        total += lane;
    return total;
}

// Adds the sums of a row's first `rounds` rounds to the row's.
__attribute__((target("avx2"))) inline void addRounds(const Accumulator& acc, int rounds, std::int64_t& count,
                                                      std::int64_t& weight, std::int64_t& sumX, int sign)
{
    const std::int64_t w = sum64(acc.weight);
    count += acc.pixels;
    weight += sign * w;
    sumX += sign * (32 * (rounds * w - sum64(acc.growing)) + sum32(acc.inRound));
}

__attribute__((target("avx2"))) inline __m256i shuffleMask(int plane, int chunk)
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(masks[plane][chunk].data())));
}

// 32 pixels a round. The 32-bit in-round sums grow by at most 31110 a lane and round,
// which a row of at most 65536 pixels (2048 rounds) keeps far below 2^31.
__attribute__((target("avx2"))) void compareRowAvx2Impl(const std::uint8_t* earlier, const std::uint8_t* later,
                                                        std::uint8_t* picture, int width, std::uint8_t t,
                                                        CompareSums& sums)
{
    const __m256i threshold = _mm256_set1_epi8(static_cast<char>(t));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i topBit = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i silverBits = _mm256_set1_epi8(0x3F); // 255 ^ 0x3F == 192
    const __m256i white = _mm256_set1_epi8(-1);
    const __m256i laneIndex = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                               20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    __m256i shuffle[3][3];
    for (int plane = 0; plane < 3; ++plane)
        for (int chunk = 0; chunk < 3; ++chunk)
            shuffle[plane][chunk] = shuffleMask(plane, chunk);

    Accumulator bright, dark;

    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(earlier + x));
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(later + x));
        const __m256i up = _mm256_subs_epu8(l, e);   // max(d, 0)
        const __m256i down = _mm256_subs_epu8(e, l); // max(-d, 0)
        // min(m, t) == m is "not above the threshold"; the masks are kept negated.
        const __m256i notBright = _mm256_cmpeq_epi8(_mm256_min_epu8(up, threshold), up);
        const __m256i notDark = _mm256_cmpeq_epi8(_mm256_min_epu8(down, threshold), down);
        const __m256i isSilver = _mm256_and_si256(_mm256_cmpeq_epi8(up, threshold), _mm256_cmpeq_epi8(down, zero));

        const __m256i unchanged = _mm256_and_si256(_mm256_and_si256(notBright, notDark),
                                                   _mm256_xor_si256(white, _mm256_and_si256(isSilver, silverBits)));
        const __m256i planes[3] = {
            _mm256_or_si256(_mm256_andnot_si256(notDark, _mm256_xor_si256(down, topBit)), unchanged),
            unchanged,
            _mm256_or_si256(_mm256_andnot_si256(notBright, _mm256_xor_si256(up, topBit)), unchanged),
        };
        __m256i chunks[3];
        for (int chunk = 0; chunk < 3; ++chunk)
            chunks[chunk] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(planes[0], shuffle[0][chunk]),
                                                            _mm256_shuffle_epi8(planes[1], shuffle[1][chunk])),
                                            _mm256_shuffle_epi8(planes[2], shuffle[2][chunk]));
        auto* out = reinterpret_cast<__m256i*>(picture + 3 * x);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(chunks[0], chunks[1], 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(chunks[2], chunks[0], 0x30));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(chunks[1], chunks[2], 0x31));

        accumulate(bright, notBright, up, laneIndex);
        accumulate(dark, notDark, down, laneIndex);
    }
    addRounds(bright, x / 32, sums.brightCount, sums.brightWeight, sums.brightSumX, 1);
    addRounds(dark, x / 32, sums.darkCount, sums.darkWeight, sums.darkSumX, -1);

    CompareSums tail;
    compareRowPortable(earlier + x, later + x, picture + 3 * x, width - x, t, tail);
    sums.brightCount += tail.brightCount;
    sums.brightWeight += tail.brightWeight;
    sums.brightSumX += tail.brightSumX + std::int64_t(x) * tail.brightWeight;
    sums.darkCount += tail.darkCount;
    sums.darkWeight += tail.darkWeight;
    sums.darkSumX += tail.darkSumX + std::int64_t(x) * tail.darkWeight;
}

} // namespace

#endif

CompareRow compareRowAvx2()
{
#if defined(__x86_64__)
    if (cpuRuns(CpuVariant::avx2))
        return compareRowAvx2Impl;
#endif
    return nullptr;
}

CompareRow bestCompareRow()
{
    return compareRowAvx2() ? compareRowAvx2() : compareRowPortable;
}

} // namespace analysis::kernels
