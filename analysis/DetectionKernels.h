#pragma once

// The row kernel behind the detection stage, one per instruction set, exposed so that
// tests can check every variant the processor runs against the plain one.

#include <cstdint>

#include "LightCompensation.h"

namespace analysis::kernels {

// Compares one row of two gray frames after compensating the earlier row's light:
// a pixel brightened when later - c(earlier) > thresholds[x] and darkened when
// c(earlier) - later > thresholds[x]. Writes the row's bits as 32-bit words (the bits
// of the last word past `width` are 0). With `groupSums`, adds
// min(|later - c(earlier)|, 64) of each run of 8 pixels to groupSums[x / 8].
using DetectRow = void (*)(const std::uint8_t* earlier, const std::uint8_t* later, int width,
                           const Compensation& light, const std::uint8_t* thresholds, std::uint32_t* brightBits,
                           std::uint32_t* darkBits, std::uint64_t* groupSums);

constexpr int noiseClip = 64;

void detectRowPortable(const std::uint8_t* earlier, const std::uint8_t* later, int width, const Compensation& light,
                       const std::uint8_t* thresholds, std::uint32_t* brightBits, std::uint32_t* darkBits,
                       std::uint64_t* groupSums);

// Null where the processor does not run AVX2.
DetectRow detectRowAvx2();
DetectRow bestDetectRow();

} // namespace analysis::kernels
