#pragma once

namespace analysis {

// The instruction sets that the fast paths are written for. Each includes those before it,
// so that one comparison tells whether a path may run: avx2 also brings BMI and the
// population count, avx512 is AVX-512 with byte permutations (F, BW, VBMI) on top of avx2.
enum class CpuVariant { portable, popcount, avx2, avx512 };

// The best variant this processor runs, asked of the processor once, and no better than
// the ceiling that a test set.
CpuVariant cpuVariant();

// Whether the processor runs `variant` and no test has ruled it out.
inline bool cpuRuns(CpuVariant variant)
{
    return variant <= cpuVariant();
}

// While this lives, cpuVariant() gives no more than `ceiling`, so that a test reaches the
// slower paths that the processor would otherwise never take. Not for concurrent use.
class CpuVariantCeiling {
public:
    explicit CpuVariantCeiling(CpuVariant ceiling);
    ~CpuVariantCeiling();
    CpuVariantCeiling(const CpuVariantCeiling&) = delete;
    CpuVariantCeiling& operator=(const CpuVariantCeiling&) = delete;

private:
    CpuVariant previous_;
};

} // namespace analysis
