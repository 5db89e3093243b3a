#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "BitPlane.h"

namespace analysis {

// The set bits of `n` words, with the processor's population count where it has one
// (the x86-64 baseline lacks it, and the portable sequence costs ten times as much).
std::int64_t countBits(const std::uint64_t* words, std::size_t n);
// The set bits of a (a | b with `b`) in the listed spans of two planes of one shape; in one
// call, as the steps after the comparison count a few words in each of many rows.
std::int64_t countBitsInSpans(const BitPlane& a, const BitPlane* b, const std::vector<RowSpan>& rows);

} // namespace analysis
