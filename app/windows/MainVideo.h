#pragma once

#include <memory>

#include <QMainWindow>

#include "Bitmap.h"

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QToolButton;
class TDirectionForm;
class TImageForm;
namespace app {
class CameraMenu;
class DetectionControl;
class EventsWindow;
class RepeatTimer;
class WebPage;
class SpinEdit;
} // namespace app
namespace events {
class EventWatcher;
}
class TVideoForm;
namespace watch {
class Evaluation;
class Session;
}

// The control panel: starts and stops the capture session, runs the movement
// evaluation once or repeatedly, holds its settings and readouts, and owns the other
// windows and the reference frame.
class TVideo : public QMainWindow {
    Q_OBJECT
public:
    TVideo();
    ~TVideo() override;

    // The evaluation cycle.
    void TakeReferenceFrame();
    void EvaluateMovement();

    void StartVideo();
    void StopVideo();
    void MakeItOverlay();
    void MakeItPreview();

    QToolButton *SpeedButton3, *SpeedButton7, *SpeedButton12, *AutoBut;
    app::SpinEdit *VariatLimitSpinBox, *MinMoveSpinBox, *CapSpeedSpinBox;
    QCheckBox *BeepOMBox, *SaveOMBox;
    QLabel *PercentLab, *PixNumLab, *VideoLabel;
    QMenu *File1, *Video1, *Window1;
    QAction *CopyFrame1, *Quit1, *VideoDisplay1, *VideoSource1, *VideoFormat1, *Overlay1, *Preview1, *Start1, *Stop1,
        *LiveVideoWindow1, *MovementWindow1, *DirectionWindow1;
    QAction* Detection1 = nullptr;
    app::RepeatTimer* Timer1;

    TVideoForm* VideoForm = nullptr;
    TImageForm* ImageForm = nullptr;
    TDirectionForm* DirectionForm = nullptr;
    // The evaluation's gray reference frame; null once the window has closed.
    const analysis::Bitmap* ReferenceFrame = nullptr;
    // The session the windows drive: the camera's live source, the evaluation, the events
    // and their outputs (the save folder, the MQTT broker). Null once the window has closed.
    watch::Session* session() const { return session_.get(); }
    // The session's evaluation cycle, and the events the cycles make (their records go to
    // the save folder while Save On Move is on); null once the window has closed.
    watch::Evaluation* evaluation() const;
    events::EventWatcher* eventWatcher() const;
    app::EventsWindow* EventsForm = nullptr;
    // The detection's dialog, mask painting and graph; null once the window has closed.
    app::DetectionControl* detection() const { return detection_; }

    // The web page that shows the session; null once the window has closed.
    app::WebPage* webPage() const { return web_; }

    // The Video menu's Camera submenu and the source chosen there.
    app::CameraMenu* cameraMenu() const { return cameraMenu_; }

    // An item of the Window menu that shows and raises `window` (while it exists).
    QAction* addWindowItem(const char* name, const QString& text, QWidget* window);

    // How many evaluations have run to their end or their error.
    int evaluations() const { return evaluations_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void buildMenu();
    void buildBands();
    void SpeedButton12Click();
    void AutoButClick();
    void CapSpeedSpinBoxChange();
    void Timer1Timer();
    void Overlay1Click();
    void Preview1Click();
    void CopyFrame1Click();
    void SetAuto(bool on);

    void showStatus(const QString& text);
    // Puts what the session does now into the status label.
    void showSessionState();
    void followSource();
    void startCapture();

    std::unique_ptr<watch::Session> session_;
    app::CameraMenu* cameraMenu_ = nullptr;
    app::DetectionControl* detection_ = nullptr;
    app::WebPage* web_ = nullptr;
    bool closed_ = false;
    bool evaluating_ = false;
    bool videoAsked_ = false; // Start Video or Auto was used
    bool startingVideo_ = false;
    int evaluations_ = 0;
};
