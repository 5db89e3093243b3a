#pragma once

#include <QDialog>

#include "Detection.h"

class QCheckBox;
class QLabel;
class QDoubleSpinBox;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace events {
class EventWatcher;
}

namespace watch {
class Evaluation;
}

namespace app {

class MaskPainter;

// The Detection dialog: each mechanism of the detection on or off with its few
// parameters, one "Robust detection" box for all of them with the tuned defaults, and the
// mask: painting it on the movement picture, loading, saving and clearing it. Every
// change takes effect at once on the evaluation's detection.
class DetectionDialog : public QDialog {
    Q_OBJECT
public:
    DetectionDialog(watch::Evaluation& evaluation, MaskPainter& painter, QWidget* owner);

    // Shows the evaluation's settings in the controls.
    void showSettings();
    // Loads a mask file into the detection; on failure the old mask stays and the reason
    // is returned (also shown in a message box when `tell` is set).
    QString loadMask(const QString& fileName, bool tell = true);
    QString saveMask(const QString& fileName, bool tell = true);
    const QString& maskFile() const { return maskFile_; }
    // The events' quiet gap is set here too, as it decides what counts as one movement;
    // without a watcher its box is hidden.
    void setEventWatcher(events::EventWatcher* watcher);

    QCheckBox *RobustBox, *LightBox, *NoiseBox, *SpecksBox, *MaskBox, *ConfirmBox, *SceneBox;
    QDoubleSpinBox* NoiseFactorBox;
    QSpinBox *SpeckSizeBox, *ConfirmNeededBox, *ConfirmWindowBox, *BrushSizeBox, *EventGapBox;
    QPushButton *PaintButton, *LoadMaskButton, *SaveMaskButton, *ClearMaskButton;
    QRadioButton *PaintRadio, *EraseRadio;

signals:
    void maskFileChanged(const QString& fileName);

protected:
    // Painting ends with the dialog: the movement picture shows the movement again.
    void hideEvent(QHideEvent* event) override;

private:
    void takeControls();

    watch::Evaluation& evaluation_;
    MaskPainter& painter_;
    events::EventWatcher* watcher_ = nullptr;
    QLabel* eventGapLabel_;
    QString maskFile_;
    bool showing_ = false;
};

} // namespace app
