#include "Files.h"

#include <charconv>
#include <filesystem>
#include <limits>

namespace web {

namespace fs = std::filesystem;

namespace {

std::optional<std::uint64_t> number(const std::string& text)
{
    std::uint64_t value = 0;
    if (text.empty())
        return std::nullopt;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

RangeRequest parseRange(const std::string& header, std::uint64_t size)
{
    const std::string unit = "bytes=";
    if (!header.starts_with(unit) || header.find(',') != std::string::npos)
        return {};
    const std::string bounds = header.substr(unit.size());
    const std::size_t dash = bounds.find('-');
    if (dash == std::string::npos)
        return {};
    const std::string from = bounds.substr(0, dash);
    const std::string to = bounds.substr(dash + 1);
    if (from.empty()) {
        // A suffix: the last N bytes.
        const std::optional<std::uint64_t> length = number(to);
        if (!length)
            return {};
        if (*length == 0 || size == 0)
            return {RangeRequest::Kind::Unsatisfiable, {}};
        return {RangeRequest::Kind::Part, {size - std::min(*length, size), size - 1}};
    }
    const std::optional<std::uint64_t> first = number(from);
    const std::optional<std::uint64_t> last = to.empty() ? std::optional<std::uint64_t>(size - 1) : number(to);
    if (!first || !last || (!to.empty() && *last < *first))
        return {};
    if (*first >= size)
        return {RangeRequest::Kind::Unsatisfiable, {}};
    return {RangeRequest::Kind::Part, {*first, std::min(*last, size - 1)}};
}

std::optional<std::string> fileInside(const std::string& root, const std::string& path)
{
    if (root.empty() || path.empty())
        return std::nullopt;
    std::error_code ec;
    const fs::path realRoot = fs::canonical(root, ec);
    if (ec)
        return std::nullopt;
    const fs::path real = fs::canonical(path, ec);
    if (ec || !fs::is_regular_file(real, ec))
        return std::nullopt;
    const fs::path relative = real.lexically_relative(realRoot);
    if (relative.empty() || *relative.begin() == "..")
        return std::nullopt;
    return real.string();
}

std::string clipType(const std::string& path)
{
    const std::string extension = fs::path(path).extension().string();
    if (extension == ".webm")
        return "video/webm";
    if (extension == ".mkv")
        return "video/x-matroska";
    return {};
}

} // namespace web
