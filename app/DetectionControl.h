#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include "Cycle.h"
#include "Detection.h"
#include "DetectionDialog.h"
#include "MovementGraph.h"

class MaskPainter;
class PictureView;
class QWidget;

namespace watch {
class Evaluation;
}

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

    // The settings as the settings file keeps them (by name), and back; unknown names and
    // values of the wrong kind are ignored. {"robust": true} stands for robust detection.
    std::map<QString, QVariant> settingsByName() const;
    void applySettings(const std::map<QString, QVariant>& byName);
    // Loads the mask the settings name; the reason when it cannot.
    QString loadMask(const QString& fileName);
    QString maskFile() const;

    void cycleEvaluated(const watch::Cycle& cycle) override;

signals:
    // A word for the status line: why a cycle that changed enough did not count.
    void statusText(const QString& text);

private:
    watch::Evaluation& evaluation_;
    std::function<std::int64_t()> minimalMovement_;
    MaskPainter* painter_;
    QPointer<DetectionDialog> dialog_;
    QPointer<MovementGraph> graph_;
};
