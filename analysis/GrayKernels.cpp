// The luma of the 80-bit extended arithmetic, computed in integers.
//
// With N = 30 R + 59 G + 11 B the exact decimal luma is N / 100, and the extended
// value differs from it by far less than the distance to the next half, so
// floor((N + 50) / 100) is the extended result for every colour except the ties
// (N mod 100 = 50, about one pixel in a hundred). There the extended value lies just
// above or just below the half, or on it, and no linear formula tells which. For a
// given red and green a tie pins blue modulo 100, so three bits per (red, green) hold
// the rounding of every tie: bit blue / 100 is set where the extended result is the
// lower neighbour. The bits (24 KiB, small enough to stay in the caches next to a
// streaming frame) are filled once from the extended arithmetic itself.

#include "Kernels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "CpuVariant.h"

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

using TieBits = std::array<std::uint8_t, 256 * 256 * 3 / 8>;

inline unsigned tieBit(unsigned r, unsigned g, unsigned b)
{
    return (r * 256 + g) * 3 + b / 100;
}

TieBits makeTieBits()
{
    TieBits bits{};
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g) {
            const int firstBlue = ((91 * (tieRemainder - 30 * r - 59 * g)) % 100 + 100) % 100;
            for (int b = firstBlue; b < 256; b += 100) {
                const int n = 30 * r + 59 * g + 11 * b;
                if (grayReference(std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)) < (n + 50) / 100) {
                    const unsigned at = tieBit(unsigned(r), unsigned(g), unsigned(b));
                    bits[at / 8] = std::uint8_t(bits[at / 8] | 1u << at % 8);
                }
            }
        }
    return bits;
}

const TieBits& tieBits()
{
    static const TieBits bits = makeTieBits();
    return bits;
}

// Whether the tie at `pixel` (blue, green, red) rounds down.
inline int roundsDown(const TieBits& bits, const std::uint8_t* pixel)
{
    const unsigned at = tieBit(pixel[2], pixel[1], pixel[0]);
    return bits[at / 8] >> (at % 8) & 1;
}

// Lowers the tie pixels in `ties` (bit i: pixel i) that round down.
inline void lowerTies(const TieBits& bits, const std::uint8_t* bgr, std::uint8_t* gray, std::uint64_t ties)
{
    for (; ties != 0; ties &= ties - 1) {
        const int i = std::countr_zero(ties);
        gray[i] = std::uint8_t(gray[i] - roundsDown(bits, bgr + 3 * i));
    }
}

#if defined(__x86_64__)

// The vector rows below list the ties of each stretch of pixels as they go and settle
// them eight at a time as soon as eight are listed, while their pixels are still in L1
// and, on a frame larger than the caches, while the loads of the next pixels are on
// their way. Branching on the ties themselves would mispredict on about half of the
// rounds of 64 pixels; a batch is a fixed amount of work.
constexpr int stretch = 4096;

// Rows of at least this many pixels (a frame of 16 MiB and more in colour and gray)
// write their levels with non-temporal stores: such a frame pushes the caches out
// anyway, and a store that does not first read its line saves a fifth of the memory
// traffic. The levels of a stretch are computed and settled in one buffer while those of
// the stretch before are written from the other, a line per round of 64 pixels, so that
// the writes mingle with the reads instead of queueing up behind them.
constexpr int streamFrom = 1 << 22;

// Lowers those of the eight ties list[0..8) (pixels of p) that round down.
inline void settleEight(const TieBits& bits, const std::uint8_t* p, std::uint8_t* gray, const std::uint32_t* list)
{
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t at = list[i];
        gray[at] = std::uint8_t(gray[at] - roundsDown(bits, p + 3 * at));
    }
}

// Asks for the three lines of colour one stretch ahead of the 64 pixels at `pixels`. The
// processor's own prefetcher runs too short a distance ahead to hide the memory's latency
// behind the arithmetic on a frame larger than the caches, and the conversion then waits
// for its loads; on a frame in the caches the requests cost a load slot each.
constexpr int prefetchAhead = 3 * stretch;

inline void prefetchColour(const std::uint8_t* pixels)
{
    for (int line = 0; line < 3; ++line)
        _mm_prefetch(reinterpret_cast<const char*>(pixels + prefetchAhead + 64 * line), _MM_HINT_T0);
}

// Pixels before the first gray byte on a 64-byte line, where streamed stores start.
inline int pixelsToLine(const std::uint8_t* gray)
{
    return int((64 - reinterpret_cast<std::uintptr_t>(gray) % 64) % 64);
}

// Appends the pixels of `ties` (bit i: pixel base + i) to `list` at `listed` and returns
// the new count. The first two are written without a branch: most rounds have none,
// one or two ties. The list has room for two entries past the last pixel of a stretch.
__attribute__((target("bmi,popcnt"))) inline int appendTies(std::uint32_t* list, int listed, std::uint64_t ties,
                                                            int base)
{
    int count = std::popcount(ties);
    // Hides that an empty mask gives a count of 0, which the compiler would turn into a
    // branch on every round.
    asm("" : "+r"(count));
    list[listed] = std::uint32_t(base + int(_tzcnt_u64(ties)));
    ties &= ties - 1;
    list[listed + 1] = std::uint32_t(base + int(_tzcnt_u64(ties)));
    if (count > 2) [[unlikely]] {
        int end = listed + 2;
        for (ties &= ties - 1; ties != 0; ties &= ties - 1)
            list[end++] = std::uint32_t(base + std::countr_zero(ties));
        return end;
    }
    return listed + count;
}

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
    // Left visible, the constant makes the compiler replace the one multiplication by
    // five shifts and additions.
    __m256i hundred = _mm256_set1_epi16(100);
    asm("" : "+x"(hundred));
    tie = _mm256_cmpeq_epi16(_mm256_mullo_epi16(quotient, hundred), n);
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

// Up to 32 pixels through a local copy, where the loads around them stay inside: the
// first pixels of a row (nothing before them) and its last (nothing after them).
__attribute__((target("avx2"))) void grayThroughCopy(const TieBits& bits, const std::uint8_t* bgr,
                                                      std::uint8_t* gray, int count)
{
    std::uint8_t in[4 + 96 + 4] = {};
    std::uint8_t out[32];
    std::memcpy(in + 4, bgr, 3 * static_cast<std::size_t>(count));
    const std::uint32_t ties = grayOfThirtyTwo(in + 4, out);
    lowerTies(bits, in + 4, out, count < 32 ? ties & ((1u << count) - 1) : ties);
    std::memcpy(gray, out, static_cast<std::size_t>(count));
}

// 64 levels from an aligned buffer to an aligned line of the row, not through the caches.
__attribute__((target("avx2"))) inline void streamLine(std::uint8_t* to, const std::uint8_t* from)
{
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to), _mm256_load_si256(reinterpret_cast<const __m256i*>(from)));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + 32),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(from + 32)));
}

__attribute__((target("avx2,bmi,popcnt"))) void grayRowAvx2Impl(const std::uint8_t* bgr, std::uint8_t* gray,
                                                                 int width)
{
    const TieBits& bits = tieBits();
    const bool streamed = width >= streamFrom;
    // The loads of the first pixels would reach before the row; streamed stores start on a line.
    const int head = std::min(width, streamed ? 32 + pixelsToLine(gray + 32) : 32);
    int x = 0;
    for (; x < head; x += 32)
        grayThroughCopy(bits, bgr + 3 * x, gray + x, std::min(32, head - x));
    x = head;
    std::uint32_t list[stretch + 2];
    alignas(64) std::uint8_t buffers[2][stretch];
    int turn = 0, pendingCount = 0;
    std::uint8_t* pending = nullptr;
    // A round's loads reach 4 bytes past its 64 pixels.
    while (x + 64 + 2 <= width) {
        const int count = std::min(stretch, (width - x - 2) & ~63);
        const std::uint8_t* p = bgr + 3 * static_cast<std::size_t>(x);
        std::uint8_t* out = streamed ? buffers[turn] : gray + x;
        const std::uint8_t* previous = buffers[turn ^ 1];
        int listed = 0, settled = 0;
        for (int i = 0; i < count; i += 64) {
            prefetchColour(p + 3 * i);
            const std::uint64_t ties = grayOfThirtyTwo(p + 3 * i, out + i) |
                                       std::uint64_t(grayOfThirtyTwo(p + 3 * i + 96, out + i + 32)) << 32;
            listed = appendTies(list, listed, ties, i);
            if (listed - settled >= 8) {
                settleEight(bits, p, out, list + settled);
                settled += 8;
            }
            if (i < pendingCount)
                streamLine(pending + i, previous + i);
        }
        for (int i = count; i < pendingCount; i += 64)
            streamLine(pending + i, previous + i);
        for (; settled < listed; ++settled)
            out[list[settled]] = std::uint8_t(out[list[settled]] - roundsDown(bits, p + 3 * list[settled]));
        if (streamed) {
            pending = gray + x;
            pendingCount = count;
            turn ^= 1;
        }
        x += count;
    }
    for (int i = 0; i < pendingCount; i += 64)
        streamLine(pending + i, buffers[turn ^ 1] + i);
    _mm_sfence();
    for (; x < width; x += 32)
        grayThroughCopy(bits, bgr + 3 * static_cast<std::size_t>(x), gray + x, std::min(32, width - x));
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
    // Hidden from the compiler for the same reason as in levelsOfSixteen.
    __m512i hundred = _mm512_set1_epi16(100);
    asm("" : "+v"(hundred));
    tie = _mm512_cmpeq_epi16_mask(_mm512_mullo_epi16(quotient, hundred), n);
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

// Up to 64 pixels through a local copy: the first of a streamed row, before its first
// whole line, and the last of any row, fewer than 64.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void grayOfFewThroughCopy(const TieBits& bits,
                                                                                 const std::uint8_t* bgr,
                                                                                 std::uint8_t* gray, int count)
{
    if (count == 0)
        return;
    std::uint8_t in[192] = {};
    std::uint8_t out[64];
    std::memcpy(in, bgr, 3 * static_cast<std::size_t>(count));
    const std::uint64_t ties = grayOfSixtyFour(in, out);
    lowerTies(bits, in, out, count < 64 ? ties & ((std::uint64_t(1) << count) - 1) : ties);
    std::memcpy(gray, out, static_cast<std::size_t>(count));
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,popcnt"))) void grayRowAvx512Impl(
    const std::uint8_t* bgr, std::uint8_t* gray, int width)
{
    const TieBits& bits = tieBits();
    const bool streamed = width >= streamFrom;
    int x = streamed ? std::min(width, pixelsToLine(gray)) : 0;
    grayOfFewThroughCopy(bits, bgr, gray, x);
    std::uint32_t list[stretch + 2];
    alignas(64) std::uint8_t buffers[2][stretch];
    int turn = 0, pendingCount = 0;
    std::uint8_t* pending = nullptr;
    while (x + 64 <= width) {
        const int count = std::min(stretch, (width - x) & ~63);
        const std::uint8_t* p = bgr + 3 * static_cast<std::size_t>(x);
        std::uint8_t* out = streamed ? buffers[turn] : gray + x;
        const std::uint8_t* previous = buffers[turn ^ 1];
        int listed = 0, settled = 0;
        for (int i = 0; i < count; i += 64) {
            prefetchColour(p + 3 * i);
            listed = appendTies(list, listed, grayOfSixtyFour(p + 3 * i, out + i), i);
            if (listed - settled >= 8) {
                settleEight(bits, p, out, list + settled);
                settled += 8;
            }
            if (i < pendingCount)
                _mm512_stream_si512(reinterpret_cast<__m512i*>(pending + i), _mm512_load_si512(previous + i));
        }
        for (int i = count; i < pendingCount; i += 64)
            _mm512_stream_si512(reinterpret_cast<__m512i*>(pending + i), _mm512_load_si512(previous + i));
        for (; settled < listed; ++settled)
            out[list[settled]] = std::uint8_t(out[list[settled]] - roundsDown(bits, p + 3 * list[settled]));
        if (streamed) {
            pending = gray + x;
            pendingCount = count;
            turn ^= 1;
        }
        x += count;
    }
    for (int i = 0; i < pendingCount; i += 64)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(pending + i), _mm512_load_si512(buffers[turn ^ 1] + i));
    _mm_sfence();
    grayOfFewThroughCopy(bits, bgr + 3 * static_cast<std::size_t>(x), gray + x, width - x);
}

#endif

} // namespace

void grayRowPortable(const std::uint8_t* bgr, std::uint8_t* gray, int width)
{
    const TieBits& bits = tieBits();
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = bgr + 3 * static_cast<std::size_t>(x);
        const int n = 30 * p[2] + 59 * p[1] + 11 * p[0] + 50;
        const int q = n / 100;
        gray[x] = std::uint8_t(q - (q * 100 == n ? roundsDown(bits, p) : 0));
    }
}

GrayRow grayRowAvx2()
{
#if defined(__x86_64__)
    if (cpuRuns(CpuVariant::avx2))
        return grayRowAvx2Impl;
#endif
    return nullptr;
}

GrayRow grayRowAvx512()
{
#if defined(__x86_64__)
    if (cpuRuns(CpuVariant::avx512))
        return grayRowAvx512Impl;
#endif
    return nullptr;
}

GrayRow bestGrayRow()
{
    return grayRowAvx512() ? grayRowAvx512() : grayRowAvx2() ? grayRowAvx2() : grayRowPortable;
}

} // namespace analysis::kernels
