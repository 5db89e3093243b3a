#pragma once

#include <vector>

#include <QObject>

#include "CaptureDrivers.h"

#include "SourceChoice.h"

class QActionGroup;
class QMenu;
class QWidget;

namespace app {

class CameraWatch;

// The Video menu's Camera submenu: every camera the device monitor finds (kept up to date
// as cameras come and go), every configured source (CAPTURE_SOURCES), a network camera by
// its URL and a video file. The source chosen is the one Start Video opens from then on;
// with none chosen, the first camera that answers.
class CameraMenu : public QObject {
    Q_OBJECT
public:
    CameraMenu(QMenu& videoMenu, QWidget* window);

    QMenu* menu() const { return menu_; }
    const ChosenSource& choice() const { return choice_; }
    // Whether the user chose in this run (the choice then is the one to remember).
    bool chosen() const { return chosen_; }
    // Marks the source chosen in an earlier run, by name; `remembered` is its description
    // when it is a network camera or a video file. `transport` is the one the Network
    // Camera dialog offers first.
    void showRemembered(const QString& name, const QString& remembered, platform::RtspTransport transport);
    // The RTSP transport last chosen in the Network Camera dialog.
    platform::RtspTransport rtspTransport() const { return transport_; }
    // Makes `source` the chosen one, as picking it in the menu does.
    void choose(const ChosenSource& source);

    // The cameras the menu lists, then the configured sources; the device monitor looks
    // for cameras once the menu is first opened or findCameras() is called.
    const std::vector<platform::ConfiguredSource>& sources() const { return sources_; }
    void findCameras();

signals:
    // The user chose `choice()`.
    void sourceChosen();
    void sourcesChanged();

private:
    void rebuild();
    void rebuildLater();
    void askNetworkCamera();
    void askVideoFile();

    QWidget* window_;
    QMenu* menu_;
    QActionGroup* group_;
    CameraWatch* cameras_;
    ChosenSource choice_;
    platform::RtspTransport transport_ = platform::RtspTransport::Tcp;
    bool chosen_ = false;
    std::vector<platform::ConfiguredSource> sources_;
};

} // namespace app
