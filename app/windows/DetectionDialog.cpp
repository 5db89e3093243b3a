#include "DetectionDialog.h"

#include <chrono>
#include <stdexcept>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "Evaluation.h"
#include "EventWatcher.h"
#include "MaskPainter.h"
#include "Settings.h"

namespace app {

namespace {

QCheckBox* checkBox(const char* name, const QString& text)
{
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    return box;
}

QSpinBox* spinBox(const char* name, int minimum, int maximum)
{
    auto* box = new QSpinBox;
    box->setObjectName(name);
    box->setRange(minimum, maximum);
    return box;
}

QPushButton* button(const char* name, const QString& text)
{
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

} // namespace

DetectionDialog::DetectionDialog(watch::Evaluation& evaluation, MaskPainter& painter, QWidget* owner)
    : QDialog(owner), evaluation_(evaluation), painter_(painter)
{
    setObjectName("DetectionDialog");
    setWindowTitle("Detection");

    RobustBox = checkBox("RobustBox", "&Robust detection");
    RobustBox->setToolTip("Every mechanism below on, with the defaults tuned on real scenes");
    LightBox = checkBox("LightBox", "&Light changes do not count");
    LightBox->setToolTip("A lamp, the camera's exposure, flicker or its switch to infrared change the whole "
                         "picture; what moves in it still counts");
    NoiseBox = checkBox("NoiseBox", "&Noise does not count, above");
    NoiseFactorBox = new QDoubleSpinBox;
    NoiseFactorBox->setObjectName("NoiseFactorBox");
    NoiseFactorBox->setRange(1, 20);
    NoiseFactorBox->setSingleStep(0.5);
    NoiseFactorBox->setDecimals(1);
    NoiseFactorBox->setSuffix(" x its noise");
    NoiseFactorBox->setToolTip("A pixel counts only where it changed by more than this many times the noise "
                               "learnt in its part of the picture");
    SpecksBox = checkBox("SpecksBox", "&Specks do not count, narrower than");
    SpeckSizeBox = spinBox("SpeckSizeBox", 2, 32);
    SpeckSizeBox->setSuffix(" pixels");
    MaskBox = checkBox("MaskBox", "&Masked pixels do not count");
    SceneBox = checkBox("SceneBox", "Compare with the scene &learnt over the last seconds");
    SceneBox->setToolTip(
        "Each picture is compared with the scene as it looked over the last seconds rather than with the "
        "picture before: slow, small and faint movement in the dark adds up, and a person who stops stays "
        "seen. The picture is first aligned with the scene (a shaking mount), light is fitted region by "
        "region (a cloud's shadow keeps the texture under it), and changes count as areas that are large "
        "enough for the frame and were seen in the cycles before (snow and moths at the lens are somewhere "
        "new in every picture); an area is then confirmed once seen in as many cycles running as the "
        "confirmation needs");
    ConfirmBox = checkBox("ConfirmBox", "Movement &confirmed in");
    ConfirmNeededBox = spinBox("ConfirmNeededBox", 1, analysis::Confirmation::longestWindow);
    ConfirmWindowBox = spinBox("ConfirmWindowBox", 1, analysis::Confirmation::longestWindow);
    ConfirmWindowBox->setPrefix("of the last ");
    ConfirmWindowBox->setSuffix(" cycles");

    eventGapLabel_ = new QLabel("&Event ends after no movement for");
    EventGapBox = spinBox("EventGapBox", 1, app::eventLimits::gapSeconds);
    EventGapBox->setSuffix(" s");
    eventGapLabel_->setBuddy(EventGapBox);
    eventGapLabel_->hide();
    EventGapBox->hide();

    PaintButton = button("PaintButton", "&Paint on the movement picture");
    PaintButton->setCheckable(true);
    PaintRadio = new QRadioButton("ignore");
    PaintRadio->setObjectName("PaintRadio");
    PaintRadio->setChecked(true);
    EraseRadio = new QRadioButton("watch again");
    EraseRadio->setObjectName("EraseRadio");
    BrushSizeBox = spinBox("BrushSizeBox", 1, 200);
    BrushSizeBox->setPrefix("brush ");
    BrushSizeBox->setSuffix(" pixels");
    BrushSizeBox->setValue(painter_.brushSize());
    LoadMaskButton = button("LoadMaskButton", "L&oad...");
    SaveMaskButton = button("SaveMaskButton", "S&ave...");
    ClearMaskButton = button("ClearMaskButton", "Cl&ear");

    auto* grid = new QGridLayout;
    grid->addWidget(RobustBox, 0, 0, 1, 3);
    grid->addWidget(LightBox, 1, 0, 1, 3);
    grid->addWidget(NoiseBox, 2, 0);
    grid->addWidget(NoiseFactorBox, 2, 1);
    grid->addWidget(SpecksBox, 3, 0);
    grid->addWidget(SpeckSizeBox, 3, 1);
    grid->addWidget(ConfirmBox, 4, 0);
    grid->addWidget(ConfirmNeededBox, 4, 1);
    grid->addWidget(ConfirmWindowBox, 4, 2);
    grid->addWidget(MaskBox, 5, 0, 1, 3);
    grid->addWidget(SceneBox, 7, 0, 1, 3);
    grid->addWidget(eventGapLabel_, 6, 0);
    grid->addWidget(EventGapBox, 6, 1);
    auto* paintRow = new QHBoxLayout;
    paintRow->addWidget(PaintButton);
    paintRow->addWidget(PaintRadio);
    paintRow->addWidget(EraseRadio);
    paintRow->addWidget(BrushSizeBox);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(LoadMaskButton);
    fileRow->addWidget(SaveMaskButton);
    fileRow->addWidget(ClearMaskButton);
    fileRow->addStretch();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(paintRow);
    layout->addLayout(fileRow);
    layout->addWidget(buttons);

    for (QCheckBox* box : {LightBox, NoiseBox, SpecksBox, MaskBox, ConfirmBox, SceneBox})
        connect(box, &QCheckBox::toggled, this, &DetectionDialog::takeControls);
    for (QSpinBox* box : {SpeckSizeBox, ConfirmNeededBox, ConfirmWindowBox})
        connect(box, &QSpinBox::valueChanged, this, &DetectionDialog::takeControls);
    connect(NoiseFactorBox, &QDoubleSpinBox::valueChanged, this, &DetectionDialog::takeControls);
    connect(EventGapBox, &QSpinBox::valueChanged, this, [this](int seconds) {
        if (showing_ || !watcher_)
            return;
        events::EventSettings settings = watcher_->settings();
        settings.gap = std::chrono::seconds(seconds);
        watcher_->setSettings(settings);
    });
    connect(RobustBox, &QCheckBox::clicked, this, [this](bool on) {
        evaluation_.detection().setSettings(on ? analysis::DetectionSettings::robust() : analysis::DetectionSettings{});
        showSettings();
    });
    connect(PaintButton, &QPushButton::toggled, this, [this](bool on) {
        painter_.setPainting(on);
        // Painting is for the mask: it should count while the user paints it.
        if (on && !MaskBox->isChecked())
            MaskBox->setChecked(true);
    });
    connect(EraseRadio, &QRadioButton::toggled, &painter_, &MaskPainter::setErasing);
    connect(BrushSizeBox, &QSpinBox::valueChanged, &painter_, &MaskPainter::setBrushSize);
    connect(ClearMaskButton, &QPushButton::clicked, this, [this] {
        painter_.setMask({});
        evaluation_.detection().setMask({});
    });
    connect(LoadMaskButton, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, "Load Mask", maskFile_, "PGM pictures (*.pgm)");
        if (!file.isEmpty())
            loadMask(file);
    });
    connect(SaveMaskButton, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(this, "Save Mask", maskFile_.isEmpty() ? "mask.pgm" : maskFile_,
                                                          "PGM pictures (*.pgm)");
        if (!file.isEmpty())
            saveMask(file);
    });
    connect(&painter_, &MaskPainter::maskPainted, this, [this] { evaluation_.detection().setMask(painter_.mask()); });
    showSettings();
}

void DetectionDialog::showSettings()
{
    showing_ = true;
    const analysis::DetectionSettings& s = evaluation_.detection().settings();
    LightBox->setChecked(s.light);
    NoiseBox->setChecked(s.noise);
    NoiseFactorBox->setValue(s.noiseFactor);
    SpecksBox->setChecked(s.specks);
    SpeckSizeBox->setValue(s.speckSize);
    MaskBox->setChecked(s.mask);
    ConfirmBox->setChecked(s.confirm);
    SceneBox->setChecked(s.scene);
    ConfirmNeededBox->setValue(s.confirmNeeded);
    ConfirmWindowBox->setValue(s.confirmWindow);
    RobustBox->setChecked(s == analysis::DetectionSettings::robust());
    if (watcher_)
        EventGapBox->setValue(int(std::chrono::duration_cast<std::chrono::seconds>(watcher_->settings().gap).count()));
    showing_ = false;
}

void DetectionDialog::setEventWatcher(events::EventWatcher* watcher)
{
    watcher_ = watcher;
    eventGapLabel_->setVisible(watcher_ != nullptr);
    EventGapBox->setVisible(watcher_ != nullptr);
    showSettings();
}

void DetectionDialog::takeControls()
{
    if (showing_)
        return;
    analysis::DetectionSettings s;
    s.light = LightBox->isChecked();
    s.noise = NoiseBox->isChecked();
    s.noiseFactor = NoiseFactorBox->value();
    s.specks = SpecksBox->isChecked();
    s.speckSize = SpeckSizeBox->value();
    s.mask = MaskBox->isChecked();
    s.confirm = ConfirmBox->isChecked();
    s.scene = SceneBox->isChecked();
    s.confirmNeeded = ConfirmNeededBox->value();
    s.confirmWindow = ConfirmWindowBox->value();
    evaluation_.detection().setSettings(s);
    // The rule keeps needed <= window; the boxes show what holds.
    showSettings();
}

QString DetectionDialog::loadMask(const QString& fileName, bool tell)
{
    try {
        evaluation_.detection().loadMask(fileName.toStdString());
    } catch (const std::exception& e) {
        if (tell)
            QMessageBox::warning(this, "Load Mask", e.what());
        return e.what();
    }
    painter_.setMask(evaluation_.detection().mask());
    maskFile_ = fileName;
    emit maskFileChanged(maskFile_);
    return {};
}

QString DetectionDialog::saveMask(const QString& fileName, bool tell)
{
    try {
        evaluation_.detection().saveMask(fileName.toStdString());
    } catch (const std::exception& e) {
        if (tell)
            QMessageBox::warning(this, "Save Mask", e.what());
        return e.what();
    }
    maskFile_ = fileName;
    emit maskFileChanged(maskFile_);
    return {};
}

void DetectionDialog::hideEvent(QHideEvent* event)
{
    PaintButton->setChecked(false);
    QDialog::hideEvent(event);
}

} // namespace app
