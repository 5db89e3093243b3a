#pragma once

// Row kernels behind ToGrayscale and CompareFrames, one per instruction set, exposed so
// that tests can check every variant that the processor can run against plain versions.

#include <cstdint>

namespace analysis::kernels {

// Gray levels of `width` blue-green-red pixels.
using GrayRow = void (*)(const std::uint8_t* bgr, std::uint8_t* gray, int width);

// Sums of one row of a comparison. x is counted from the row's first pixel.
struct CompareSums {
    std::int64_t brightCount = 0, brightWeight = 0, brightSumX = 0;
    std::int64_t darkCount = 0, darkWeight = 0, darkSumX = 0;
};

// Paints `width` (at most 65536) difference pixels (blue, green, red) for the gray levels of two rows
// under threshold t and adds the row's counts and sums to `sums`.
using CompareRow = void (*)(const std::uint8_t* earlier, const std::uint8_t* later, std::uint8_t* picture,
                            int width, std::uint8_t t, CompareSums& sums);

void grayRowPortable(const std::uint8_t* bgr, std::uint8_t* gray, int width);
void compareRowPortable(const std::uint8_t* earlier, const std::uint8_t* later, std::uint8_t* picture, int width,
                        std::uint8_t t, CompareSums& sums);

// Present only where cpuRuns() allows AVX2 (AVX-512 with byte permutations); null otherwise.
GrayRow grayRowAvx2();
GrayRow grayRowAvx512();
CompareRow compareRowAvx2();

// The fastest variant this processor runs.
GrayRow bestGrayRow();
CompareRow bestCompareRow();

// Luma of one colour by the 80-bit extended arithmetic itself, one pixel at a time.
std::uint8_t grayReference(std::uint8_t r, std::uint8_t g, std::uint8_t b);

} // namespace analysis::kernels
