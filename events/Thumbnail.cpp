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
    // Synced, as a thumbnail that a power cut left empty would stand for its event for good.
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(jpeg.constData()), std::size_t(jpeg.size()));
    if (const std::error_code written = analysis::writeFileAtomically(path, bytes, analysis::Sync::toDisk)) {
        error = "Cannot write the thumbnail " + path + ": " + written.message();
        return false;
    }
    return true;
}

} // namespace events
