#pragma once

// The row kernel behind the detection stage, one per instruction set, exposed so that
// tests can check every variant the processor runs against the plain one.

#include <cstdint>

#include "BitPlane.h"
#include "LightCompensation.h"

namespace analysis::kernels {

// Compares one row of two gray frames after compensating the earlier row's light, under
// one threshold t = thresholds[x / 32] for each run of 32 pixels: a pixel brightened when
// later - c(earlier) > t and darkened when c(earlier) - later > t. With the light
// compensated, an earlier level of whiteClip or more may have been any brighter level, so
// it never counts as brightened; one of blackClip or less never counts as darkened.
// Writes the row's bits (bit x % 64 of word x / 64; those past `width` 0) and returns
// the words from the first to the last that hold a set bit (empty when none does). With
// `groupSums`, adds min(|later - c(earlier)|, 64) of each run of 8 pixels to groupSums[x / 8].
using DetectRow = Span (*)(const std::uint8_t* earlier, const std::uint8_t* later, int width,
                           const Compensation& light, const std::uint8_t* thresholds, std::uint64_t* brightBits,
                           std::uint64_t* darkBits, std::uint64_t* groupSums);

constexpr int noiseClip = 64;
constexpr int whiteClip = 250, blackClip = 5;

Span detectRowPortable(const std::uint8_t* earlier, const std::uint8_t* later, int width, const Compensation& light,
                       const std::uint8_t* thresholds, std::uint64_t* brightBits, std::uint64_t* darkBits,
                       std::uint64_t* groupSums);

// Null where cpuRuns() does not allow AVX2 (AVX-512 with byte permutations).
DetectRow detectRowAvx2();
DetectRow detectRowAvx512();
DetectRow bestDetectRow();

} // namespace analysis::kernels
