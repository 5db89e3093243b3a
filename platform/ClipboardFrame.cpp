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
    QImage image(bitmap.width(), bitmap.height(), QImage::Format_RGB888);
    for (int y = 0; y < bitmap.height(); ++y) {
        uchar* to = image.scanLine(y);
        for (int x = 0; x < bitmap.width(); ++x) {
            const analysis::Colour c = bitmap.pixel(x, y);
            to[3 * x] = analysis::redOf(c);
            to[3 * x + 1] = analysis::greenOf(c);
            to[3 * x + 2] = analysis::blueOf(c);
        }
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
