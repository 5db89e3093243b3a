#include "ClipboardFrame.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "CpuVariant.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace platform {

namespace {

// One row of blue, green, red bytes as 0xFFRRGGBB words. In memory the bytes keep their
// order and an opaque alpha byte follows each pixel.
void opaqueRowPortable(const std::uint8_t* from, QRgb* to, int width)
{
    for (int x = 0; x < width; ++x)
        to[x] = 0xFF000000u | QRgb(from[3 * x + 2]) << 16 | QRgb(from[3 * x + 1]) << 8 | from[3 * x];
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void opaqueRowAvx2(const std::uint8_t* from, QRgb* to, int width)
{
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, //
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int x = 0;
    // Each round reads 16 bytes at 3x and at 3x + 12 for 8 pixels: it stops where that would
    // pass the row's end.
    for (; x + 10 <= width; x += 8) {
        const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(from + 3 * x + 12),
                                                  reinterpret_cast<const __m128i*>(from + 3 * x));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x),
                            _mm256_or_si256(_mm256_shuffle_epi8(bytes, spread), opaque));
    }
    opaqueRowPortable(from + 3 * x, to + x, width - x);
}
#endif

void opaqueRow(const std::uint8_t* from, QRgb* to, int width)
{
#if defined(__x86_64__) || defined(__i386__)
    if (analysis::cpuRuns(analysis::CpuVariant::avx2))
        return opaqueRowAvx2(from, to, width);
#endif
    opaqueRowPortable(from, to, width);
}

} // namespace

analysis::Bitmap bitmapFromImage(const QImage& image)
{
    analysis::Bitmap bitmap;
    bitmapFromImage(image, bitmap);
    return bitmap;
}

void bitmapFromImage(const QImage& image, analysis::Bitmap& into)
{
    if (image.isNull()) {
        into = analysis::Bitmap(0, 0, analysis::PixelFormat::Bgr24);
        return;
    }
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull())
        throw std::runtime_error("Not enough memory for the frame");
    if (into.width() != bgr.width() || into.height() != bgr.height() ||
        into.format() != analysis::PixelFormat::Bgr24)
        into = analysis::Bitmap(bgr.width(), bgr.height(), analysis::PixelFormat::Bgr24);
    // Format_BGR888 stores blue, green, red: the picture's own byte order.
    const auto rowBytes = static_cast<std::size_t>(bgr.width()) * 3;
    for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(into.row(y), bgr.constScanLine(y), rowBytes);
}

QImage imageFromBitmap(const analysis::Bitmap& bitmap)
{
    if (bitmap.empty() || bitmap.format() == analysis::PixelFormat::None)
        return {};
    const bool colour = bitmap.format() == analysis::PixelFormat::Bgr24;
    // 32-bit pixels are what the screen takes without a further conversion.
    QImage image(bitmap.width(), bitmap.height(), colour ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    if (image.isNull())
        throw std::runtime_error("Not enough memory for the picture");
    for (int y = 0; y < bitmap.height(); ++y) {
        const std::uint8_t* from = bitmap.row(y);
        if (colour) {
            opaqueRow(from, reinterpret_cast<QRgb*>(image.scanLine(y)), bitmap.width());
        } else {
            std::memcpy(image.scanLine(y), from, static_cast<std::size_t>(bitmap.width()));
        }
    }
    if (!colour) {
        QList<QRgb> table(256);
        for (int i = 0; i < 256; ++i) {
            const auto level = static_cast<std::uint8_t>(i);
            const analysis::Colour c = i < int(bitmap.colourTable().size()) ? bitmap.colourTable()[i]
                                       : bitmap.colourTable().empty()       ? analysis::rgb(level, level, level)
                                                                            : 0;
            table[i] = qRgb(analysis::redOf(c), analysis::greenOf(c), analysis::blueOf(c));
        }
        image.setColorTable(table);
    }
    return image;
}

QImage sharedImage(std::shared_ptr<const analysis::Bitmap> picture)
{
    if (!picture)
        return {};
    if (picture->format() != analysis::PixelFormat::Bgr24 || picture->empty())
        return imageFromBitmap(*picture);
    // The picture's rows lie in one block at equal distances, as an image's do.
    const qsizetype bytesPerLine =
        picture->height() > 1 ? picture->row(1) - picture->row(0) : qsizetype(picture->width()) * 3;
    auto held = std::make_unique<std::shared_ptr<const analysis::Bitmap>>(picture);
    QImage image(picture->row(0), picture->width(), picture->height(), bytesPerLine, QImage::Format_BGR888,
                 [](void* p) { delete static_cast<std::shared_ptr<const analysis::Bitmap>*>(p); }, held.get());
    if (image.isNull())
        throw std::runtime_error("Not enough memory for the picture");
    held.release(); // the image lets go of it
    return image;
}

} // namespace platform
