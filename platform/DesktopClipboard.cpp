#include "DesktopClipboard.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include <QBuffer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>

#include "X11Selection.h"

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

std::runtime_error tooLarge(QSize largest, const std::string& size)
{
    return std::runtime_error("The image on the clipboard is too large (" + size + "; at most " +
                              std::to_string(largest.width()) + " x " + std::to_string(largest.height()) +
                              " pixels)");
}

void refuseIfLarger(QSize size, QSize largest)
{
    if (size.width() > largest.width() || size.height() > largest.height())
        throw tooLarge(largest, std::to_string(size.width()) + " x " + std::to_string(size.height()) + " pixels");
}

std::runtime_error timedOut(int limitMs)
{
    return std::runtime_error("The clipboard's owner did not hand the image over within " +
                              std::to_string(limitMs / 1000) + " s");
}

// The picture in encoded bytes, its size checked before it is decoded.
QImage decode(QByteArray bytes, QSize largest)
{
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

// The connection for reading another program's X11 clipboard; null elsewhere, and when
// the clipboard is ours, which our own event loop answers.
X11Selection* foreignX11Selection()
{
    if (QGuiApplication::platformName() != "xcb" || QGuiApplication::clipboard()->ownsClipboard())
        return nullptr;
    static X11Selection selection;
    return selection.usable() ? &selection : nullptr;
}

QImage readX11Image(X11Selection& selection, QSize largest, int limitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    // Room for the largest picture uncompressed at 32 bits, with its headers.
    const std::size_t limit = std::size_t(largest.width()) * std::size_t(largest.height()) * 4 + 65536;
    try {
        QStringList offered;
        for (const std::string& type : selection.targets(deadline))
            offered << QString::fromStdString(type);
        const QString type = encodedImageType(offered);
        if (type.isEmpty())
            return {};
        const std::optional<QByteArray> bytes = selection.read(type.toStdString(), deadline, limit);
        if (!bytes)
            throw std::runtime_error(unsupportedFormat);
        return decode(*bytes, largest);
    } catch (const X11Selection::Timeout&) {
        throw timedOut(limitMs);
    } catch (const std::length_error&) {
        throw tooLarge(largest, "more than " + std::to_string(limit >> 20) + " MiB");
    }
}

} // namespace

QImage readDesktopImage(QSize largest, int limitMs)
{
    if (X11Selection* selection = foreignX11Selection())
        return readX11Image(*selection, largest, limitMs);

    // Elsewhere through the toolkit, which bounds each question on its own: ask for the
    // list of types once, then for one encoded image, never for every type.
    QElapsedTimer clock;
    clock.start();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return {};
    const QStringList offered = data->formats();
    if (clock.elapsed() >= limitMs)
        throw timedOut(limitMs);
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
    const QByteArray bytes = data->data(type);
    if (clock.elapsed() >= limitMs)
        throw timedOut(limitMs);
    return decode(bytes, largest);
}

bool desktopAnnouncesImage(int limitMs)
{
    if (X11Selection* selection = foreignX11Selection()) {
        try {
            QStringList offered;
            for (const std::string& type :
                 selection->targets(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)))
                offered << QString::fromStdString(type);
            return !encodedImageType(offered).isEmpty();
        } catch (const X11Selection::Timeout&) {
            return false;
        }
    }
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data && data->hasImage();
}

} // namespace platform
