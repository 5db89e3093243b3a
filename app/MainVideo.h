#pragma once

#include <memory>

#include <QMainWindow>

#include "Bitmap.h"

class QAction;
class QCheckBox;
class QLabel;
class QToolButton;
class RepeatTimer;
class SpinEdit;
class TDirectionForm;
class TImageForm;
class TVideoForm;
namespace platform {
class ScreenImages;
}
namespace watch {
class Evaluation;
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
    SpinEdit *VariatLimitSpinBox, *MinMoveSpinBox, *CapSpeedSpinBox;
    QCheckBox *BeepOMBox, *SaveOMBox;
    QLabel *PercentLab, *PixNumLab, *VideoLabel;
    QAction *VideoDisplay1, *VideoSource1, *VideoFormat1, *Overlay1, *Preview1, *Start1, *Stop1, *LiveVideoWindow1,
        *MovementWindow1;
    RepeatTimer* Timer1;

    TVideoForm* VideoForm = nullptr;
    TImageForm* ImageForm = nullptr;
    TDirectionForm* DirectionForm = nullptr;
    // The evaluation's gray reference frame; null once the window has closed.
    const analysis::Bitmap* ReferenceFrame = nullptr;
    // The evaluation cycle the window drives; null once the window has closed.
    watch::Evaluation* evaluation() const { return evaluation_.get(); }

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
    void SetAuto(bool on);

    std::unique_ptr<watch::Evaluation> evaluation_;
    std::unique_ptr<platform::ScreenImages> screenImages_;
    bool evaluating_ = false;
    int evaluations_ = 0;
};
