#include "ClipboardFrame.h"

#include <cstring>
#include <stdexcept>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace platform {

analysis::Bitmap bitmapFromImage(const QImage& image)
{
    analysis::Bitmap bitmap;
    bitmap.setFormat(analysis::PixelFormat::Bgr24);
    if (image.isNull())
        return bitmap;
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull())
        throw std::runtime_error("Not enough memory for the frame");
    bitmap.setWidth(bgr.width());
    bitmap.setHeight(bgr.height());
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
    QImage image(bitmap.width(), bitmap.height(), colour ? QImage::Format_BGR888 : QImage::Format_Indexed8);
    if (image.isNull())
        throw std::runtime_error("Not enough memory for the picture");
    const auto rowBytes = static_cast<std::size_t>(bitmap.width()) * (colour ? 3 : 1);
    for (int y = 0; y < bitmap.height(); ++y)
        std::memcpy(image.scanLine(y), bitmap.row(y), rowBytes);
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
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard->mimeData();
    if (!data || !data->hasImage())
        return bitmapFromImage({});
    const QImage image = clipboard->image();
    if (image.isNull())
        throw std::runtime_error("Unsupported clipboard format");
    return bitmapFromImage(image);
}

} // namespace platform
