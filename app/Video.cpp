// The program: the control panel with its live video, movement and direction windows.

#include <QApplication>
#include <QFont>

#include "MainVideo.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif); // the system's sans face where this one is missing
    font.setPixelSize(11);
    QApplication::setFont(font);

    TVideo video;
    video.show();
    return app.exec();
}
