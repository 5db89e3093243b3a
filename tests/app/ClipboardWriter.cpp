// Another program that owns the clipboard: puts a 320 x 240 gray frame of level 100,
// whose first `argv[1]` pixels are at 121, on the clipboard (or, given "--text" and a
// text, that text, as a user's copy would; given "--size", a gray frame of that width and
// height), says "ready" and keeps the clipboard until its standard input closes.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QSocketNotifier>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc > 2 && std::strcmp(argv[1], "--text") == 0) {
        QGuiApplication::clipboard()->setText(QString::fromUtf8(argv[2]));
    } else if (argc > 3 && std::strcmp(argv[1], "--size") == 0) {
        QImage image(std::atoi(argv[2]), std::atoi(argv[3]), QImage::Format_RGB32);
        image.fill(QColor(100, 100, 100));
        QGuiApplication::clipboard()->setImage(image);
    } else {
        const int brighter = argc > 1 ? std::atoi(argv[1]) : 0;
        QImage image(320, 240, QImage::Format_ARGB32);
        image.fill(QColor(100, 100, 100));
        for (int i = 0; i < brighter && i < 320 * 240; ++i)
            image.setPixel(i % 320, i / 320, qRgb(121, 121, 121));
        QGuiApplication::clipboard()->setImage(image);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, &QGuiApplication::quit);
    return app.exec();
}
