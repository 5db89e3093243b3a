#include "Mask.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "AtomicFile.h"
#include "BoundedFile.h"

namespace analysis {

namespace {

// A header with more comments than this is no mask's.
constexpr std::uint64_t maxMaskHeader = 64 * 1024;

std::string bytesText(std::uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

[[noreturn]] void refuse(const std::string& fileName, const std::string& why)
{
    throw std::runtime_error("Cannot use " + fileName + " as a mask: " + why);
}

// The PGM header's next number, after white space and comments.
long headerNumber(const std::vector<char>& bytes, std::size_t& at, const std::string& fileName)
{
    for (;;) {
        while (at < bytes.size() && std::strchr(" \t\r\n", bytes[at]) && bytes[at] != '\0')
            ++at;
        if (at < bytes.size() && bytes[at] == '#') {
            while (at < bytes.size() && bytes[at] != '\n')
                ++at;
            continue;
        }
        break;
    }
    long value = 0;
    std::size_t digits = 0;
    while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9') {
        value = value * 10 + (bytes[at] - '0');
        if (value > 1'000'000)
            refuse(fileName, "its header holds a number out of range");
        ++at;
        ++digits;
    }
    if (digits == 0)
        refuse(fileName, at >= bytes.size() ? "it is truncated in its header" : "its header is malformed");
    return value;
}

} // namespace

Bitmap readMaskPgm(const std::string& fileName)
{
    const BoundedFile file(fileName, maxMaskHeader + std::uint64_t(maxMaskSide) * maxMaskSide);
    if (!file.isOpen())
        refuse(fileName, file.why());
    // The header first: what it says is checked against the file's size before a pixel is read.
    const std::vector<char> bytes = file.read(0, std::size_t(std::min<std::uint64_t>(file.size(), maxMaskHeader)));
    if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '5')
        refuse(fileName, "it is not a binary PGM picture (it must start with \"P5\")");
    std::size_t at = 2;
    const long width = headerNumber(bytes, at, fileName);
    const long height = headerNumber(bytes, at, fileName);
    const long maximum = headerNumber(bytes, at, fileName);
    if (width <= 0 || height <= 0 || width > maxMaskSide || height > maxMaskSide)
        refuse(fileName, "its size " + std::to_string(width) + " x " + std::to_string(height) + " is not usable");
    if (maximum > 255)
        refuse(fileName, "it has 16-bit levels; save it with 8-bit levels (maximum 255)");
    if (maximum <= 0)
        refuse(fileName, "its maximum level is 0");
    if (at >= bytes.size() || !std::strchr(" \t\r\n", bytes[at]) || bytes[at] == '\0')
        refuse(fileName, "it is truncated in its header");
    const std::uint64_t expected = std::uint64_t(width) * std::uint64_t(height);
    // One white-space byte before the pixels; a file written with Windows line ends has two.
    const bool crlf = bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n' &&
                      file.size() - (at + 1) == expected + 1;
    at += crlf ? 2 : 1;
    const std::uint64_t present = file.size() - at;
    if (present < expected)
        refuse(fileName, "it is truncated: " + std::to_string(present) + " of " + std::to_string(expected) +
                             " pixel bytes are there");
    if (present > expected)
        refuse(fileName, "it holds " + bytesText(present - expected) + " more than its size " + std::to_string(width) +
                             " x " + std::to_string(height) + " says");
    const std::vector<char> pixelBytes = file.read(at, std::size_t(expected));
    if (pixelBytes.size() != expected)
        refuse(fileName, "it became shorter while it was read");

    Bitmap mask(int(width), int(height), PixelFormat::Bits8);
    const auto* pixels = reinterpret_cast<const unsigned char*>(pixelBytes.data());
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            mask.row(y)[x] = 2 * pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)] >= maximum ? 255 : 0;
    return mask;
}

void writeMaskPgm(const Bitmap& mask, const std::string& fileName)
{
    if (mask.format() != PixelFormat::Bits8 || mask.empty())
        throw std::runtime_error("Cannot write the mask to " + fileName + ": there is no mask");
    std::string header = "P5\n" + std::to_string(mask.width()) + ' ' + std::to_string(mask.height()) + "\n255\n";
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.reserve(bytes.size() + std::size_t(mask.width()) * std::size_t(mask.height()));
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            bytes.push_back(mask.row(y)[x] ? 255 : 0);
    if (const std::error_code error = writeFileAtomically(fileName, bytes))
        throw std::runtime_error("Cannot write the mask to " + fileName + ": " + std::strerror(error.value()));
}

void maskBits(const Bitmap& mask, int width, int height, BitPlane& bits)
{
    bits.resize(width, height);
    if (mask.empty() || mask.format() != PixelFormat::Bits8)
        return;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source =
            mask.row(int(std::int64_t(y) * mask.height() / height));
        std::uint64_t* row = bits.row(y);
        for (int x = 0; x < width; ++x)
            if (source[std::int64_t(x) * mask.width() / width])
                row[x / 64] |= std::uint64_t(1) << (x % 64);
    }
}

} // namespace analysis
