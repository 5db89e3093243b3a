// The program: the control panel with its live video, movement and direction windows,
// or, with --headless, the same watching without windows.

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QTimer>
#include <QToolButton>
#include <gst/gst.h>
#include <xcb/xcb.h>

#include "CommandLine.h"
#include "MainVideo.h"
#include "Settings.h"
#include "SourceChoice.h"
#include "WindowSettings.h"

namespace {

void print(std::FILE* stream, const QString& text)
{
    if (!text.isEmpty()) {
        std::fputs(text.toLocal8Bit().constData(), stream);
        std::fflush(stream);
    }
}

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether Qt will find a screen to open windows on. Checked before Qt tries, because Qt
// aborts without one.
bool displayReachable()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true; // offscreen, a frame buffer, VNC: they need no desktop
    if (isSet("WAYLAND_DISPLAY")) {
        const QString socket = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
        const QString path = socket.startsWith('/') ? socket
                                                    : QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + '/' + socket;
        if (QFileInfo::exists(path))
            return true;
    }
    if (isSet("DISPLAY")) {
        xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
        const bool connected = xcb_connection_has_error(connection) == 0;
        xcb_disconnect(connection);
        return connected;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const app::CommandLine line = app::parseCommandLine(arguments);
    if (line.action == app::CommandLine::Action::Exit) {
        print(stdout, line.output);
        print(stderr, line.error);
        return line.exitCode;
    }
    const app::Options& options = line.options;

    if (options.listCameras) {
        gst_init(nullptr, nullptr);
        print(stdout, app::cameraList());
        return 0;
    }

    if (!options.headless && !displayReachable()) {
        print(stderr, QStringLiteral("Video: no display to show the windows on (DISPLAY and WAYLAND_DISPLAY are unset "
                                     "or unreachable); run it in a desktop session, or use --headless.\n"));
        return 1;
    }

    app::SettingsFile settingsFile;
    const app::Settings remembered = settingsFile.load();
    print(stderr, settingsFile.problem().isEmpty() ? QString() : settingsFile.problem() + '\n');

    gst_init(nullptr, nullptr);
    QString error, note;
    if (!app::chooseSource(options, app::withOptions(remembered, options), error, note)) {
        print(stderr, error + QStringLiteral("\nTry --list-cameras.\n"));
        return app::badArgumentsExit;
    }
    print(stderr, note.isEmpty() ? QString() : note + '\n');

    QApplication application(argc, argv);
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif); // the system's sans face where this one is missing
    font.setPixelSize(11);
    QApplication::setFont(font);

    TVideo video;
    app::WindowSettings windowSettings(video, settingsFile, remembered, options);
    video.show();
    if (options.autoStart) {
        QTimer::singleShot(0, &video, [&video] {
            video.SpeedButton3->click();
            video.AutoBut->click();
        });
    }
    return application.exec();
}
