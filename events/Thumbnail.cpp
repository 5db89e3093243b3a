#include "Thumbnail.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include <QBuffer>
#include <QImage>

#include "AtomicFile.h"
#include "ClipboardFrame.h"

namespace events {

bool writeThumbnail(const analysis::Bitmap& frame, const std::string& path, std::string& error)
{
    const QImage image = platform::imageFromBitmap(frame);
    if (image.isNull()) {
        error = "Cannot write the thumbnail " + path + ": no frame";
        return false;
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.scaledToWidth(std::min(thumbnailWidth, image.width()), Qt::SmoothTransformation).save(&buffer, "JPEG", 85);

    if (jpeg.isEmpty()) {
        error = "Cannot write the thumbnail " + path + ": no JPEG writer";
        return false;
    }
    // Not synced: it is written on the window's thread as an event starts and ends, where
    // waiting for the disk (tens of milliseconds on a busy one) would stop the windows,
    // and a preview the event's end writes again is not worth that wait.
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(jpeg.constData()), std::size_t(jpeg.size()));
    if (const std::error_code written = analysis::writeFileAtomically(path, bytes, analysis::Sync::no)) {
        error = "Cannot write the thumbnail " + path + ": " + written.message();
        return false;
    }
    return true;
}

} // namespace events
