#pragma once

// The row kernels behind the scene model, one set per instruction set. Most are plain
// integer arithmetic that the compiler vectorises for the set it is built for; where it
// does not find the instructions that suit, a set has its own, written by hand. Every set
// gives the same result as the plain one; tests check that they do.

#include <cstddef>
#include <cstdint>

#include "CpuVariant.h"

namespace analysis::kernels {

struct SceneKernels {
    // sums[x] += row[x]
    void (*addRow)(const std::uint8_t* row, std::uint16_t* sums, int n);
    // out[x] = the rounded mean of sums[b x] .. sums[b x + b - 1], each the sum of b pixels
    // of a column (b from 3 to 16)
    void (*binColumns)(const std::uint16_t* sums, std::uint8_t* out, int n, int b);
    // out[x] = rounded mean of a[2x], a[2x + 1], b[2x], b[2x + 1]
    void (*halveRows)(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, int n);
    // out[x] = rounded mean of the 4 x 4 pixels at column 4x of rows a, b, c and d
    void (*quarterRows)(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                        std::uint8_t* out, int n);
    // the sum of |a[x] - b[x]| over `rows` rows `stride` apart, or some sum above `bound`
    // once the rows so far pass it
    std::uint64_t (*absDifference)(const std::uint8_t* a, const std::uint8_t* b, int n, int rows, std::ptrdiff_t stride,
                                   std::uint64_t bound);
    // out[x] = s[x] / 256, rounded
    void (*roundLevels)(const std::uint16_t* s, std::uint8_t* out, int n);
    // e[x] = e[x] x gain[x] + offset[x], rounded half away from zero into 0 .. 255, and
    // unknown[x] = 1 where e[x] was clipped (0 elsewhere).
    void (*applyLight)(std::uint8_t* e, const float* gain, const float* offset, std::uint8_t* unknown, int n);
    // For each block of 8 columns (the last cut at `width`), the sums over a strip's rows 0,
    // 2, 4 .. below `rows` (`stride` apart; the mask's `watchedStride` apart) of the pixels
    // watched whose picture p and expected e levels are both unclipped: 1, p, e, p^2, e^2
    // and p e, then two zeros, 8 values a block.
    void (*lightSums)(const std::uint8_t* p, const std::uint8_t* e, const std::uint8_t* watched, std::ptrdiff_t stride,
                      std::ptrdiff_t watchedStride, int rows, int width, std::int32_t* out);
    // out = the sums of each pixel's 3 x 3 of the w x h picture `in`, the edges repeated;
    // `columns` holds 8 w values
    void (*boxSums)(const std::uint8_t* in, std::uint16_t* out, std::uint16_t* columns, int w, int h);
    // low[x] = min(a, b, c)[x]; high[x] = max(a, b, c)[x]
    void (*rangeColumn)(const std::uint16_t* a, const std::uint16_t* b, const std::uint16_t* c, std::uint16_t* low,
                        std::uint16_t* high, int n);
    // Whether |s[x] - e[x]| > t[x] anywhere (s and e at most 9 x 255)
    bool (*beyondLimits)(const std::uint16_t* s, const std::uint16_t* e, const std::int16_t* t, int n);
    // For each block of 8 columns (the last cut at `width`), the sums over `rows` rows
    // (`stride` apart; the mask's `watchedStride` apart) of the watched pixels' |s - e|
    // (3 x 3 sums), expected levels and 1, then a zero, 4 values a block.
    void (*noiseSums)(const std::uint16_t* s, const std::uint16_t* e, const std::uint8_t* level,
                      const std::uint8_t* watched, std::ptrdiff_t stride, std::ptrdiff_t watchedStride, int rows,
                      int width, std::int32_t* out);
    // Over rows of `width` one after another, with lo and hi the smallest of low and the
    // largest of high at x - 1, x and x + 1 within the row: where watched[x] and not
    // unknown[x], state[x] = 1 when s > hi + t, 2 when s < lo - t; else 0. Returns how many
    // are not 0. low and high must be readable one past either end.
    int (*markRange)(const std::uint16_t* s, const std::uint16_t* low, const std::uint16_t* high,
                     const std::int16_t* t, const std::uint8_t* watched, const std::uint8_t* unknown,
                     std::uint8_t* state, int n, int width);
    // The scene follows the picture: s += ((p << 8) - s) / 2^rate, rounded, with rate `slow`
    // where held, `quick` elsewhere: held where (age[x] > 0 or moved[x]) and age[x] < absorbed.
    // 1 <= quick <= 8 < slow <= 15.
    void (*learnRow)(std::uint16_t* scene, const std::uint8_t* picture, const std::uint8_t* age,
                     const std::uint8_t* moved, int n, int absorbed, int quick, int slow);
    // out[x] = max(in[x - reach .. x + reach]) within the row
    void (*largestAlong)(const std::uint8_t* in, std::uint8_t* out, int n, int reach);
};

// The kernels of `variant`, null where the processor does not run it.
const SceneKernels* sceneKernels(CpuVariant variant);
const SceneKernels& bestSceneKernels();

} // namespace analysis::kernels
