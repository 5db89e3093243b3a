#include "DesktopClipboard.h"

#include <stdexcept>
#include <string>

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>

namespace platform {

namespace {

// An encoded image type the clipboard offers that we can decode, lossless ones first;
// empty when it offers none.
QString encodedImageType(const QStringList& offered)
{
    const QList<QByteArray> decodable = QImageReader::supportedMimeTypes();
    for (const char* preferred : {"image/png", "image/bmp"})
        if (offered.contains(preferred))
            return preferred;
    for (const QString& type : offered)
        if (type.startsWith("image/") && decodable.contains(type.toLatin1()))
            return type;
    return {};
}

void refuseIfLarger(QSize size, QSize largest)
{
    if (size.width() > largest.width() || size.height() > largest.height())
        throw std::runtime_error("The image on the clipboard is too large (" + std::to_string(size.width()) + " x " +
                                 std::to_string(size.height()) + " pixels; at most " +
                                 std::to_string(largest.width()) + " x " + std::to_string(largest.height()) + ")");
}

void giveUpAfter(const QElapsedTimer& clock, int limitMs)
{
    if (clock.elapsed() >= limitMs)
        throw std::runtime_error("The clipboard's owner did not hand the image over within " +
                                 std::to_string(limitMs / 1000) + " s");
}

} // namespace

QImage readDesktopImage(QSize largest, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return {};
    // Each question to another program's clipboard is a round trip it may never answer:
    // ask for the list of types once, then for one encoded image, never for every type.
    const QStringList offered = data->formats();
    giveUpAfter(clock, limitMs);
    const QString type = encodedImageType(offered);
    if (type.isEmpty()) {
        if (!offered.contains("application/x-qt-image"))
            return {};
        // An image held in this process: already decoded.
        const QImage image = qvariant_cast<QImage>(data->imageData());
        if (image.isNull())
            throw std::runtime_error(unsupportedFormat);
        refuseIfLarger(image.size(), largest);
        return image;
    }
    QByteArray bytes = data->data(type);
    giveUpAfter(clock, limitMs);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid())
        throw std::runtime_error(unsupportedFormat);
    refuseIfLarger(size, largest);
    QImage image = reader.read();
    if (image.isNull())
        throw std::runtime_error(unsupportedFormat);
    return image;
}

bool desktopAnnouncesImage()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data && data->hasImage();
}

} // namespace platform
