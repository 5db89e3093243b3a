#pragma once

#include <cstddef>
#include <cstdint>

namespace analysis {

// The set bits of `n` words, with the processor's population count where it has one
// (the x86-64 baseline lacks it, and the portable sequence costs ten times as much).
std::int64_t countBits(const std::uint64_t* words, std::size_t n);
// The set bits of a | b over `n` words.
std::int64_t countBitsOfEither(const std::uint64_t* a, const std::uint64_t* b, std::size_t n);

} // namespace analysis
