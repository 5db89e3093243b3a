// The program: the control panel with its live video, movement and direction windows,
// or, with --headless, the same watching without windows.

#include <cstdio>
#include <exception>
#include <string>

#include <QApplication>
#include <QFont>
#include <QTimer>
#include <QToolButton>
#include <gst/gst.h>

#include "CameraRoster.h"
#include "CommandLine.h"
#include "DisplayCheck.h"
#include "FrameClipboard.h"
#include "Headless.h"
#include "MainVideo.h"
#include "Mask.h"
#include "QuitSignals.h"
#include "Settings.h"
#include "SourceChoice.h"
#include "WebPage.h"
#include "WindowSettings.h"
using app::QuitSignals;
using app::missingDisplay;

namespace {

void print(std::FILE* stream, const QString& text)
{
    if (!text.isEmpty()) {
        std::fputs(text.toLocal8Bit().constData(), stream);
        std::fflush(stream);
    }
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

    if (options.httpPasswordHash) {
        QString hashLine, error;
        if (!app::passwordHashLine(stdin, hashLine, error)) {
            print(stderr, QStringLiteral("--http-password-hash: %1.\n").arg(error));
            return app::badArgumentsExit;
        }
        print(stdout, hashLine + '\n');
        print(stderr, QStringLiteral("Put this line into the [http] group of the settings file: the windows' "
                                     "~/.config/Video/Video.conf, a headless run's "
                                     "~/.config/Video/video-headless.conf, or the file of --config.\n"));
        return 0;
    }

    if (options.mask) {
        try {
            analysis::readMaskPgm(options.mask->toStdString());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "--mask: %s\n", e.what());
            return app::badArgumentsExit;
        }
    }

    if (options.listCameras) {
        gst_init(nullptr, nullptr);
        const QString cameras = app::cameraList();
        print(stdout, cameras);
        // Standard output stays a plain list for scripts; an empty one is explained aside.
        print(stderr, cameras.isEmpty() ? QStringLiteral("No camera found.\n") : QString());
        return 0;
    }

    if (const std::string unknown = options.headless ? std::string() : app::unknownPlatform(argc, argv);
        !unknown.empty()) {
        std::fprintf(stderr, "%s.\n", unknown.c_str());
        return app::badArgumentsExit;
    }
    if (const std::string missing = options.headless ? std::string() : missingDisplay(argc, argv); !missing.empty()) {
        std::fprintf(stderr, "%s, or watch without windows with --headless.\n", missing.c_str());
        return 1;
    }

    app::SettingsFile settingsFile(app::SettingsFile::pathFor(options));
    const app::Settings remembered = settingsFile.load();
    if (!settingsFile.usable() && (options.config || options.headless)) {
        // A file named on purpose, or the one a service watches by, is not quietly
        // replaced by the defaults.
        print(stderr, settingsFile.problem() + '\n');
        return app::badArgumentsExit;
    }
    print(stderr, settingsFile.problem().isEmpty() ? QString()
                                                   : settingsFile.problem() + " The windows start with the defaults.\n");

    gst_init(nullptr, nullptr);
    // Each camera of a list chooses its own source.
    if (app::watchesList(remembered, options))
        return app::runHeadless(argc, argv, app::withOptions(remembered, options), options);
    QString error, note;
    if (!app::chooseSource(options, app::withOptions(remembered, options), error, note)) {
        print(stderr, error + QStringLiteral("\nTry --list-cameras.\n"));
        return app::badArgumentsExit;
    }
    print(stderr, note.isEmpty() ? QString() : note + '\n');
    if (options.headless)
        return app::runHeadless(argc, argv, app::withOptions(remembered, options), options);

    // From here on a signal waits for the event loop, which ends the program as closing does.
    QuitSignals::catchSignals();
    QApplication application(argc, argv);
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif); // the system's sans face where this one is missing
    font.setPixelSize(11);
    QApplication::setFont(font);
    platform::frameClipboard().setDesktopClipboard(options.desktopClipboard);

    TVideo video;
    // A signal ends the program as closing the main window does, also while a message
    // box waits (quit leaves its loop too).
    QuitSignals quitSignals([&video] {
        video.close();
        QCoreApplication::quit();
    });
    app::WindowSettings windowSettings(video, settingsFile, remembered, options);
    QString webError;
    if (!video.webPage()->use(app::withOptions(remembered, options).http, webError)) {
        print(stderr, webError + '\n');
        return app::badArgumentsExit;
    }
    video.show();
    if (options.autoStart) {
        QTimer::singleShot(0, &video, [&video] {
            video.SpeedButton3->click();
            video.AutoBut->click();
        });
    }
    return application.exec();
}
