#pragma once

#include <cstdint>
#include <functional>

#include <QObject>
#include <QPointer>
#include <QString>

#include "Cycle.h"
#include "Detection.h"
#include "DetectionDialog.h"
#include "MovementGraph.h"

class QWidget;

namespace watch {
class Evaluation;
}

namespace app {

class MaskPainter;
class PictureView;

// The window side of the detection: the Detection dialog, the mask painted on the
// movement picture, the Movement Graph, and the status line's word on why a cycle did not
// count. Listens to the evaluation's cycles; must be removed from it before it goes.
class DetectionControl : public QObject, public watch::CycleListener {
    Q_OBJECT
public:
    // `picture` is the movement picture the mask is painted on; `minimalMovement` reads the
    // Minimal Movement the graph draws; the dialog and the graph are owned by `owner`'s
    // window but go with this object.
    DetectionControl(watch::Evaluation& evaluation, PictureView& picture, std::function<std::int64_t()> minimalMovement,
                     QWidget* owner);
    ~DetectionControl() override;

    void showDialog();
    DetectionDialog* dialog() const { return dialog_; }
    MovementGraph* graph() const { return graph_; }

    // Loads a mask file into the detection; the reason when it cannot (the old mask stays).
    QString loadMask(const QString& fileName);
    // The mask file last loaded or saved in the dialog; empty when none was.
    QString maskFile() const;

    void cycleEvaluated(const watch::Cycle& cycle) override;

signals:
    // A word for the status line: why a cycle that changed enough did not count.
    void statusText(const QString& text);
    // The word last given no longer holds: a later cycle counted or was quiet.
    void statusTextOutdated(const QString& text);

private:
    watch::Evaluation& evaluation_;
    std::function<std::int64_t()> minimalMovement_;
    MaskPainter* painter_;
    QPointer<DetectionDialog> dialog_;
    QPointer<MovementGraph> graph_;
    QString shownReason_;
};

} // namespace app
