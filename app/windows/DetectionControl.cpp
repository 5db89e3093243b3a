#include "DetectionControl.h"

#include <utility>

#include <QWidget>

#include "ClipboardFrame.h"
#include "DetectionDialog.h"
#include "Evaluation.h"
#include "MaskPainter.h"
#include "MovementGraph.h"
#include "PictureView.h"

namespace app {

DetectionControl::DetectionControl(watch::Evaluation& evaluation, PictureView& picture,
                                   std::function<std::int64_t()> minimalMovement, QWidget* owner)
    : QObject(owner), evaluation_(evaluation), minimalMovement_(std::move(minimalMovement)),
      painter_(new MaskPainter(picture, this))
{
    setObjectName("DetectionControl");
    painter_->setMask(evaluation_.detection().mask());
    dialog_ = new DetectionDialog(evaluation_, *painter_, owner);
    graph_ = new MovementGraph(owner);
}

DetectionControl::~DetectionControl()
{
    delete dialog_;
    delete graph_;
}

void DetectionControl::showDialog()
{
    // The settings and the mask may have come from elsewhere (the settings file, the command line).
    dialog_->showSettings();
    painter_->setMask(evaluation_.detection().mask());
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

QString DetectionControl::loadMask(const QString& fileName)
{
    return dialog_->loadMask(fileName, false);
}

QString DetectionControl::maskFile() const
{
    return dialog_->maskFile();
}

void DetectionControl::cycleEvaluated(const watch::Cycle& cycle)
{
    const std::int64_t minimal = minimalMovement_();
    graph_->addCycle(cycle, minimal);
    if (cycle.frame)
        painter_->setScene(platform::sharedImage(cycle.frame));
    // Only the detection's own reasons: with it off the status line stays as it was.
    if (cycle.compared == 0 && !cycle.reason.empty() && evaluation_.detection().settings().anyOn()) {
        shownReason_ = QString("Not counted: %1").arg(QString::fromStdString(cycle.reason));
        emit statusText(shownReason_);
    } else if (!shownReason_.isEmpty()) {
        emit statusTextOutdated(std::exchange(shownReason_, QString()));
    }
}

} // namespace app
