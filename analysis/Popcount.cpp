#include "Popcount.h"

#include <bit>

#include "CpuVariant.h"

namespace analysis {

namespace {

std::int64_t countPlain(const std::uint64_t* a, const std::uint64_t* b, std::size_t n)
{
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i)
        count += std::popcount(a[i] | (b ? b[i] : 0));
    return count;
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) std::int64_t countFast(const std::uint64_t* a, const std::uint64_t* b,
                                                          std::size_t n)
{
    std::int64_t count = 0;
    if (b)
        for (std::size_t i = 0; i < n; ++i)
            count += __builtin_popcountll(a[i] | b[i]);
    else
        for (std::size_t i = 0; i < n; ++i)
            count += __builtin_popcountll(a[i]);
    return count;
}

std::int64_t count(const std::uint64_t* a, const std::uint64_t* b, std::size_t n)
{
    return cpuRuns(CpuVariant::popcount) ? countFast(a, b, n) : countPlain(a, b, n);
}
#else
std::int64_t count(const std::uint64_t* a, const std::uint64_t* b, std::size_t n)
{
    return countPlain(a, b, n);
}
#endif

template <typename Count>
std::int64_t inSpans(const BitPlane& a, const BitPlane* b, const std::vector<RowSpan>& rows, Count count)
{
    std::int64_t total = 0;
    for (const RowSpan& r : rows) {
        const auto n = static_cast<std::size_t>(r.span.last - r.span.first);
        total += count(a.row(r.y) + r.span.first, b ? b->row(r.y) + r.span.first : nullptr, n);
    }
    return total;
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) std::int64_t inSpansFast(const BitPlane& a, const BitPlane* b,
                                                            const std::vector<RowSpan>& rows)
{
    return inSpans(a, b, rows, countFast);
}
#endif

} // namespace

std::int64_t countBitsInSpans(const BitPlane& a, const BitPlane* b, const std::vector<RowSpan>& rows)
{
#if defined(__x86_64__)
    if (cpuRuns(CpuVariant::popcount))
        return inSpansFast(a, b, rows);
#endif
    return inSpans(a, b, rows, countPlain);
}

std::int64_t countBits(const std::uint64_t* words, std::size_t n)
{
    return count(words, nullptr, n);
}

} // namespace analysis
