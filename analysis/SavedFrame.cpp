#include "SavedFrame.h"

#include <charconv>
#include <ctime>
#include <stdexcept>
#include <vector>

#include <sys/time.h>

#include "AtomicFile.h"

namespace analysis {

int millisecondsSinceLocalMidnight()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + static_cast<int>(now.tv_usec / 1000);
}

std::string timeOfDayText(int millisecondsSinceMidnight, const std::string& decimalSeparator)
{
    const double fraction = millisecondsSinceMidnight / 86400000.0;
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, fraction, std::chars_format::general, 15);
    if (error != std::errc())
        throw std::logic_error("time of day does not format");
    // to_chars writes "5.78703703703704e-05"; the name wants "5.78703703703704E-5".
    std::string text;
    for (const char* p = buffer; p != end; ++p) {
        if (*p == '.') {
            text += decimalSeparator;
        } else if (*p == 'e') {
            text += 'E';
            if (p[1] == '-' || p[1] == '+') {
                if (p[1] == '-')
                    text += '-';
                ++p;
            }
            while (p + 2 < end && p[1] == '0')
                ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

std::string savedFrameName(int millisecondsSinceMidnight, const std::string& decimalSeparator)
{
    return "images/" + timeOfDayText(millisecondsSinceMidnight, decimalSeparator) + ".bmp";
}

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

constexpr std::uint32_t bmpHeaderSize = 54;

std::uint32_t bmpRowSize(const Bitmap& picture)
{
    return (3 * static_cast<std::uint32_t>(picture.width()) + 3) & ~3u;
}

} // namespace

std::int64_t bmpFileSize(const Bitmap& picture)
{
    return bmpHeaderSize + std::int64_t(bmpRowSize(picture)) * picture.height();
}

void saveBmp(const Bitmap& picture, const std::string& fileName)
{
    if (picture.format() != PixelFormat::Bgr24)
        throw std::invalid_argument("only 24-bit pictures are saved");

    const auto width = static_cast<std::uint32_t>(picture.width());
    const auto height = static_cast<std::uint32_t>(picture.height());
    const std::uint32_t rowSize = bmpRowSize(picture);
    const std::uint32_t imageSize = rowSize * height;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(bmpHeaderSize + static_cast<std::size_t>(imageSize));
    bytes.push_back('B');
    bytes.push_back('M');
    put32(bytes, bmpHeaderSize + imageSize);
    put32(bytes, 0); // two reserved words
    put32(bytes, bmpHeaderSize);
    put32(bytes, 40);
    put32(bytes, width);
    put32(bytes, height); // positive: rows stored bottom-up
    put16(bytes, 1);
    put16(bytes, 24);
    put32(bytes, 0); // no compression
    put32(bytes, imageSize);
    put32(bytes, 0); // horizontal resolution
    put32(bytes, 0); // vertical resolution
    put32(bytes, 0); // colours used
    put32(bytes, 0); // important colours
    for (int y = picture.height() - 1; y >= 0; --y) {
        const std::uint8_t* row = picture.row(y);
        bytes.insert(bytes.end(), row, row + 3 * width);
        bytes.resize(bytes.size() + (rowSize - 3 * width), 0);
    }

    if (const std::error_code error = writeFileAtomically(fileName, bytes))
        throw SaveError(fileName, error);
}

} // namespace analysis
