#pragma once

#include <memory>
#include <vector>

#include <QTimer>
#include <QWidget>

class QGridLayout;
class QLabel;
class QMenu;

namespace platform {
class LiveSource;
}
namespace watch {
class Session;
}

namespace app {

class CameraMenu;

// Every camera the Camera menu offers, small and live side by side, each with its state
// in words (connecting, watching, event, reconnecting, failed); clicking one opens it in
// the main window. Each shows a few pictures a second from a source of its own, opened
// only while the window is shown; the camera the main window shows is read from the main
// window's session instead, as a camera cannot be opened twice.
class CamerasWindow : public QWidget {
    Q_OBJECT
public:
    CamerasWindow(CameraMenu& menu, watch::Session& shown, QWidget* parent = nullptr);
    ~CamerasWindow() override;

    // The pictures are refreshed this often.
    static constexpr int refreshMs = 250;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Tile;

    void rebuild();
    void refresh();
    void open(Tile& tile);

    CameraMenu& menu_;
    watch::Session& shown_;
    QGridLayout* grid_;
    QLabel* empty_;
    std::vector<std::unique_ptr<Tile>> tiles_;
    QTimer refresh_;
};

// Adds "Cameras..." to the Video menu, after the Camera submenu; it shows the one Cameras
// window of `parent`.
void addCamerasItem(QMenu& videoMenu, CameraMenu& cameras, watch::Session& shown, QWidget* parent);

} // namespace app
