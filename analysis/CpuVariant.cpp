#include "CpuVariant.h"

#include <algorithm>
#include <atomic>

namespace analysis {

namespace {

CpuVariant detected()
{
#if defined(__x86_64__) || defined(__i386__)
    if (!__builtin_cpu_supports("popcnt"))
        return CpuVariant::portable;
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi"))
        return CpuVariant::popcount;
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
        !__builtin_cpu_supports("avx512vbmi"))
        return CpuVariant::avx2;
    return CpuVariant::avx512;
#else
    return CpuVariant::portable;
#endif
}

// Read on every choice of a kernel, so relaxed: a test sets it before the work it checks.
std::atomic<CpuVariant> ceiling = CpuVariant::avx512;

} // namespace

CpuVariant cpuVariant()
{
    static const CpuVariant processor = detected();
    return std::min(processor, ceiling.load(std::memory_order_relaxed));
}

CpuVariantCeiling::CpuVariantCeiling(CpuVariant to) : previous_(ceiling.exchange(to, std::memory_order_relaxed)) {}

CpuVariantCeiling::~CpuVariantCeiling()
{
    ceiling.store(previous_, std::memory_order_relaxed);
}

} // namespace analysis
