#include "Thumbnail.h"

#include <algorithm>

#include <QBuffer>
#include <QImage>
#include <QSaveFile>

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

    // QSaveFile writes beside the target and renames only when every byte is on disk. A
    // small write waits in its buffer, and a failure of the flush inside commit() would go
    // unnoticed (a full disk left an empty thumbnail under its name), so the flush is ours.
    QSaveFile file(QString::fromStdString(path));
    if (jpeg.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size() || !file.flush() ||
        !file.commit()) {
        error = "Cannot write the thumbnail " + path + ": " +
                (jpeg.isEmpty() ? std::string("no JPEG writer") : file.errorString().toStdString());
        return false;
    }
    return true;
}

} // namespace events
