#include "PictureHalving.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "CpuVariant.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace app {
#endif

namespace {

constexpr std::uint8_t mean(unsigned a, unsigned b) { return static_cast<std::uint8_t>((a + b + 1) / 2); }

// The 2 x 2 mean of four 0xAARRGGBB words, alpha opaque.
QRgb blockMean(QRgb topLeft, QRgb topRight, QRgb bottomLeft, QRgb bottomRight)
{
    QRgb result = 0xFF000000u;
    for (int shift = 0; shift < 24; shift += 8) {
        auto channel = [shift](QRgb c) { return (c >> shift) & 0xFFu; };
        result |= QRgb(mean(mean(channel(topLeft), channel(bottomLeft)), mean(channel(topRight), channel(bottomRight))))
                  << shift;
    }
    return result;
}

void halveRgb32Portable(const QRgb* top, const QRgb* bottom, QRgb* to, int width)
{
    for (int x = 0; x < width; ++x)
        to[x] = blockMean(top[2 * x], top[2 * x + 1], bottom[2 * x], bottom[2 * x + 1]);
}

// Rows of blue, green, red bytes; the result in 0xFFRRGGBB words.
void halveBgr24Portable(const std::uint8_t* top, const std::uint8_t* bottom, QRgb* to, int width)
{
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* t = top + 6 * x;
        const std::uint8_t* b = bottom + 6 * x;
        to[x] = 0xFF000000u | QRgb(mean(mean(t[2], b[2]), mean(t[5], b[5]))) << 16 |
                QRgb(mean(mean(t[1], b[1]), mean(t[4], b[4]))) << 8 | mean(mean(t[0], b[0]), mean(t[3], b[3]));
    }
}

#if defined(__x86_64__)
// 4 results a round from 8 words of each row; SSE2 is always there on x86-64.
void halveRgb32(const QRgb* top, const QRgb* bottom, QRgb* to, int width)
{
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        auto load = [](const QRgb* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        const __m128 rows0 = _mm_castsi128_ps(_mm_avg_epu8(load(top + 2 * x), load(bottom + 2 * x)));
        const __m128 rows1 = _mm_castsi128_ps(_mm_avg_epu8(load(top + 2 * x + 4), load(bottom + 2 * x + 4)));
        const __m128i even = _mm_castps_si128(_mm_shuffle_ps(rows0, rows1, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(rows0, rows1, _MM_SHUFFLE(3, 1, 3, 1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_avg_epu8(even, odd));
    }
    halveRgb32Portable(top + 2 * x, bottom + 2 * x, to + x, width - x);
}

// The means of two rows' 16 bytes at `low` (the low lane) and at `high` (the high lane).
__attribute__((target("avx2"))) __m256i rowMeans(const std::uint8_t* top, const std::uint8_t* bottom, int low,
                                                 int high)
{
    const __m256i upper = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(top + high),
                                              reinterpret_cast<const __m128i*>(top + low));
    const __m256i lower = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bottom + high),
                                              reinterpret_cast<const __m128i*>(bottom + low));
    return _mm256_avg_epu8(upper, lower);
}

// 8 results a round from 16 pixels (48 bytes) of each row. Each 128-bit lane takes 8
// pixels from two loads that hold 4 of them whole each, the last load ending at the 48th
// byte so that no round reads past the pixels it halves; the shuffles part the even
// pixels from the odd ones.
__attribute__((target("avx2"))) void halveBgr24Avx2(const std::uint8_t* top, const std::uint8_t* bottom,
                                                    QRgb* to, int width)
{
    // Pixels 0-3 from byte 0 and 8-11 from byte 24, at the start of each lane.
    const __m256i evenFirst = _mm256_setr_epi8(0, 1, 2, -1, 6, 7, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
                                               0, 1, 2, -1, 6, 7, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i oddFirst = _mm256_setr_epi8(3, 4, 5, -1, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
                                              3, 4, 5, -1, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    // Pixels 4-7 from byte 12 (at the lane's start) and 12-15 from byte 32 (4 bytes in).
    const __m256i evenSecond = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, -1, 6, 7, 8, -1, //
                                                -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 6, -1, 10, 11, 12, -1);
    const __m256i oddSecond = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 3, 4, 5, -1, 9, 10, 11, -1, //
                                               -1, -1, -1, -1, -1, -1, -1, -1, 7, 8, 9, -1, 13, 14, 15, -1);
    const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i first = rowMeans(top, bottom, 6 * x, 6 * x + 24);
        const __m256i second = rowMeans(top, bottom, 6 * x + 12, 6 * x + 32);
        const __m256i even = _mm256_or_si256(_mm256_shuffle_epi8(first, evenFirst), _mm256_shuffle_epi8(second, evenSecond));
        const __m256i odd = _mm256_or_si256(_mm256_shuffle_epi8(first, oddFirst), _mm256_shuffle_epi8(second, oddSecond));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x), _mm256_or_si256(_mm256_avg_epu8(even, odd), opaque));
    }
    halveBgr24Portable(top + 6 * x, bottom + 6 * x, to + x, width - x);
}

void halveBgr24(const std::uint8_t* top, const std::uint8_t* bottom, QRgb* to, int width)
{
    if (analysis::cpuRuns(analysis::CpuVariant::avx2))
        return halveBgr24Avx2(top, bottom, to, width);
    halveBgr24Portable(top, bottom, to, width);
}
#else
void halveRgb32(const QRgb* top, const QRgb* bottom, QRgb* to, int width)
{
    halveRgb32Portable(top, bottom, to, width);
}

void halveBgr24(const std::uint8_t* top, const std::uint8_t* bottom, QRgb* to, int width)
{
    halveBgr24Portable(top, bottom, to, width);
}
#endif

} // namespace

namespace {

// Halvings of a 32-bit or 24-bit picture, a row at a time: each row of a halving is made
// from two rows of the one before, kept in a pair of short rows per halving, so that no
// picture between the first and the last is ever made whole.
class Halvings {
public:
    Halvings(const QImage& picture, int times) : picture_(picture)
    {
        for (int level = 1; level < times; ++level)
            pairs_.emplace_back(2 * static_cast<std::size_t>(picture.width() >> level));
    }

    // Row y of the picture halved `level` times, `width` pixels, into `to`.
    void row(int level, int y, QRgb* to, int width)
    {
        if (level == 1) {
            const uchar* top = picture_.constScanLine(2 * y);
            const uchar* bottom = picture_.constScanLine(2 * y + 1);
            if (picture_.format() == QImage::Format_RGB32)
                halveRgb32(reinterpret_cast<const QRgb*>(top), reinterpret_cast<const QRgb*>(bottom), to, width);
            else
                halveBgr24(top, bottom, to, width);
            return;
        }
        const int before = picture_.width() >> (level - 1);
        QRgb* pair = pairs_[std::size_t(level - 2)].data();
        row(level - 1, 2 * y, pair, before);
        row(level - 1, 2 * y + 1, pair + before, before);
        halveRgb32(pair, pair + before, to, width);
    }

private:
    const QImage& picture_;
    std::vector<std::vector<QRgb>> pairs_;
};

} // namespace

QImage halvedPicture(const QImage& picture, int times)
{
    if (times < 1)
        throw std::invalid_argument("a picture is halved at least once");
    if (picture.format() != QImage::Format_RGB32 && picture.format() != QImage::Format_BGR888)
        return halvedPicture(picture.convertToFormat(QImage::Format_RGB32), times);
    const int width = picture.width() >> times, height = picture.height() >> times;
    QImage half(width, height, QImage::Format_RGB32);
    if (half.isNull() && width > 0 && height > 0)
        throw std::runtime_error("Not enough memory for the picture");
    Halvings halvings(picture, times);
    for (int y = 0; y < height; ++y)
        halvings.row(times, y, reinterpret_cast<QRgb*>(half.scanLine(y)), width);
    return half;
}

} // namespace app
