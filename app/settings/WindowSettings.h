#pragma once

#include <map>

#include <QObject>
#include <QRect>

#include "CameraSetup.h"
#include "Detection.h"
#include "CommandLine.h"
#include "Settings.h"

class QWidget;
class TVideo;

namespace app {

// Carries the settings into the windows for a run and back out at its end: the control
// panel's values and check boxes, the places of the windows the user moved or sized, and
// the format and picture controls of the camera the capture session watches.
// At the end of the run (the control panel closing) it writes what is to be remembered.
class WindowSettings : public QObject {
    Q_OBJECT
public:
    // Puts `remembered` with `options` over it into `video` and its windows.
    WindowSettings(TVideo& video, SettingsFile& file, Settings remembered, Options options);

    // The settings as the windows hold them now.
    Settings current() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<QWidget*> windows() const;
    void noteStartingPlaces();
    void remember();
    void followSession();

    TVideo& video_;
    SettingsFile& file_;
    Settings remembered_;
    Settings used_;
    Options options_;
    std::map<QString, QRect> startingPlaces_;
    bool remembered_once_ = false;
    // The format and controls of the camera the session watches.
    CameraSetup* camera_ = nullptr;
    QString cameraName_;
    analysis::DetectionSettings startingDetection_;
};

// Where a window is: its frame's position and its inner size, as move() and resize() take them.
QRect placeOf(const QWidget& window);

} // namespace app
