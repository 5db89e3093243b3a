#include "ClipboardFrame.h"

#include <cstring>
#include <stdexcept>

#include "FrameClipboard.h"

namespace platform {

analysis::Bitmap bitmapFromImage(const QImage& image)
{
    if (image.isNull())
        return analysis::Bitmap(0, 0, analysis::PixelFormat::Bgr24);
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull())
        throw std::runtime_error("Not enough memory for the frame");
    analysis::Bitmap bitmap(bgr.width(), bgr.height(), analysis::PixelFormat::Bgr24);
    // Format_BGR888 stores blue, green, red: the picture's own byte order.
    const auto rowBytes = static_cast<std::size_t>(bgr.width()) * 3;
    for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(bitmap.row(y), bgr.constScanLine(y), rowBytes);
    return bitmap;
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
            auto* to = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < bitmap.width(); ++x)
                to[x] = 0xFF000000u | QRgb(from[3 * x + 2]) << 16 | QRgb(from[3 * x + 1]) << 8 | from[3 * x];
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

analysis::Bitmap bitmapFromClipboard()
{
    return bitmapFromImage(frameClipboard().image());
}

} // namespace platform
