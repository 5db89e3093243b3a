// The program: the control panel with its live video, movement and direction windows.

#include <cstdio>
#include <string_view>

#include <QApplication>
#include <QFont>

#include "DisplayCheck.h"
#include "FrameClipboard.h"
#include "MainVideo.h"
#include "QuitSignals.h"

int main(int argc, char** argv)
{
    QuitSignals::catchSignals();
    if (const std::string missing = missingDisplay(argc, argv); !missing.empty()) {
        std::fprintf(stderr, "%s\n", missing.c_str());
        return 1;
    }
    QApplication app(argc, argv);
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif); // the system's sans face where this one is missing
    font.setPixelSize(11);
    QApplication::setFont(font);
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--desktop-clipboard")
            platform::frameClipboard().setDesktopClipboard(true);

    TVideo video;
    // A signal ends the program as closing the main window does, also while a message
    // box waits (quit leaves its loop too).
    QuitSignals quitSignals([&video] {
        video.close();
        QCoreApplication::quit();
    });
    video.show();
    return app.exec();
}
