#include "DetectionControl.h"

#include <QWidget>

#include "DetectionDialog.h"
#include "Evaluation.h"
#include "MaskPainter.h"
#include "MovementGraph.h"
#include "PictureView.h"

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
    dialog_->showSettings();
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

std::map<QString, QVariant> DetectionControl::settingsByName() const
{
    const analysis::DetectionSettings& s = evaluation_.detection().settings();
    return {{"light", s.light},
            {"noise", s.noise},
            {"noiseFactor", s.noiseFactor},
            {"specks", s.specks},
            {"speckSize", s.speckSize},
            {"mask", s.mask},
            {"confirm", s.confirm},
            {"confirmNeeded", s.confirmNeeded},
            {"confirmWindow", s.confirmWindow}};
}

void DetectionControl::applySettings(const std::map<QString, QVariant>& byName)
{
    auto value = [&](const char* name) {
        const auto found = byName.find(name);
        return found == byName.end() ? QVariant() : found->second;
    };
    analysis::DetectionSettings s;
    if (value("robust").toBool())
        s = analysis::DetectionSettings::robust();
    auto flag = [&](const char* name, bool& field) {
        if (const QVariant v = value(name); v.isValid() && v.canConvert<bool>())
            field = v.toBool();
    };
    auto number = [&](const char* name, auto& field) {
        bool ok = false;
        const double v = value(name).toDouble(&ok);
        if (ok)
            field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    flag("light", s.light);
    flag("noise", s.noise);
    number("noiseFactor", s.noiseFactor);
    flag("specks", s.specks);
    number("speckSize", s.speckSize);
    flag("mask", s.mask);
    flag("confirm", s.confirm);
    number("confirmNeeded", s.confirmNeeded);
    number("confirmWindow", s.confirmWindow);
    evaluation_.detection().setSettings(s);
    dialog_->showSettings();
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
    // Only the detection's own reasons: with it off the status line stays as it was.
    if (cycle.compared == 0 && !cycle.reason.empty() && evaluation_.detection().settings().anyOn())
        emit statusText(QString("Not counted: %1").arg(QString::fromStdString(cycle.reason)));
}
