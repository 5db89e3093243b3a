#include "MainVideo.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <qdrawutil.h>

#include "CameraMenu.h"
#include "CaptureWindow.h"
#include "ClipboardFrame.h"
#include "DirectionUnit.h"
#include "ErrorBox.h"
#include "DetectionControl.h"
#include "Evaluation.h"
#include "EventWatcher.h"
#include "EventsDialog.h"
#include "EventsWindow.h"
#include "FrameClipboard.h"
#include "Glyphs.h"
#include "ImageFormUnit.h"
#include "LiveSource.h"
#include "PictureView.h"
#include "RepeatTimer.h"
#include "CamerasWindow.h"
#include "Session.h"
#include "WebPage.h"
#include "SessionStatus.h"
#include "SpinEdit.h"
#include "StatusLine.h"
#include "VideoCap.h"
#include "VideoFormUnit.h"
#include "WindowSetup.h"
using app::setBackground;
using app::screenGlyph;
using app::runCommand;
using app::playGlyph;
using app::errorBoxOpen;
using app::DetectionControl;
using app::EventsWindow;
using app::RepeatTimer;
using app::SpinEdit;

namespace {

const QColor olive(128, 128, 0);

// A band of the band bar: a plain panel of a given width and least height.
QWidget* band(const char* name, int width, int minimumHeight)
{
    auto* panel = new QWidget;
    panel->setObjectName(name);
    panel->setFixedWidth(width);
    panel->setMinimumHeight(minimumHeight);
    return panel;
}

// The readouts' panel: black, a raised outer and a lowered inner bevel of one pixel each.
class BevelPanel : public QWidget {
public:
    BevelPanel() { setBackground(this, Qt::black); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QPalette bevel = QApplication::palette();
        qDrawShadeRect(&painter, rect(), bevel, false, 1);
        qDrawShadeRect(&painter, rect().adjusted(1, 1, -1, -1), bevel, true, 1);
    }
};

QToolButton* flatButton(const char* name, const QString& caption, const QPixmap& glyph)
{
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(glyph);
    button->setIconSize(glyph.size());
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setFixedSize(72, 44);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

// A key for a flat button through an action that clicks it, named in its tooltip. The key
// works in every window of the program: the live picture or the graph may be the one in
// front while the user starts, stops or evaluates.
void giveKey(QToolButton* button, const QKeySequence& key, QAction* action)
{
    action->setShortcut(key);
    action->setShortcutContext(Qt::ApplicationShortcut);
    button->setToolTip(QString("%1 (%2)").arg(button->text(), key.toString(QKeySequence::NativeText)));
}

// A window-wide action that clicks the button at once (a button's own shortcut would
// click only after its press animation).
QAction* clickAction(QToolButton* button, QWidget* window)
{
    auto* action = new QAction(button->text(), window);
    window->addAction(action);
    QObject::connect(action, &QAction::triggered, button, &QToolButton::click);
    return action;
}

// A band of two flat buttons side by side.
QWidget* buttonBand(const char* name, int width, QToolButton* left, QToolButton* right)
{
    QWidget* panel = band(name, width, 45);
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(left);
    layout->addWidget(right);
    layout->addStretch();
    return panel;
}

QLabel* readout(const char* name, const QString& text, int pixelSize, bool bold)
{
    auto* label = new QLabel(text);
    label->setObjectName(name);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, olive);
    label->setPalette(p);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

SpinEdit* spinBox(const char* name, int value, int minimum, int maximum, QLabel* caption)
{
    auto* box = new SpinEdit(value, minimum, maximum);
    box->setObjectName(name);
    box->setAccessibleName(caption->text());
    caption->setBuddy(box);
    return box;
}

} // namespace

TVideo::TVideo()
{
    setObjectName("Video");
    setWindowTitle("Video");
    setWindowIcon(QIcon(":/video.svg")); // the secondary windows take it from their owner
    Timer1 = new RepeatTimer(250, this);
    Timer1->setObjectName("Timer1");
    buildMenu();
    buildBands();
    auto* status = new app::StatusLine;
    status->setObjectName("StatusBar1");
    setStatusBar(status);
    resize(501, 165);
    move(3, 2);

    connect(SpeedButton3, &QToolButton::clicked, this, [this] { runCommand([this] { StartVideo(); }); });
    connect(SpeedButton7, &QToolButton::clicked, this, [this] { runCommand([this] { StopVideo(); }, true); });
    connect(SpeedButton12, &QToolButton::clicked, this, &TVideo::SpeedButton12Click);
    connect(AutoBut, &QToolButton::clicked, this, &TVideo::AutoButClick);
    connect(CapSpeedSpinBox, &SpinEdit::changed, this, &TVideo::CapSpeedSpinBoxChange);
    connect(Timer1, &RepeatTimer::tick, this, &TVideo::Timer1Timer);
    connect(VideoDisplay1, &QAction::triggered, this, [] { runCommand(CapDlgVideoDisplay); });
    connect(VideoSource1, &QAction::triggered, this, [] { runCommand(CapDlgVideoSource); });
    connect(VideoFormat1, &QAction::triggered, this, [] { runCommand(CapDlgVideoFormat); });
    connect(Overlay1, &QAction::triggered, this, &TVideo::Overlay1Click);
    connect(Preview1, &QAction::triggered, this, &TVideo::Preview1Click);
    connect(Start1, &QAction::triggered, SpeedButton3, &QToolButton::click);
    connect(Stop1, &QAction::triggered, SpeedButton7, &QToolButton::click);
    connect(CopyFrame1, &QAction::triggered, this, [this] { runCommand([this] { CopyFrame1Click(); }); });
    connect(Quit1, &QAction::triggered, this, &TVideo::close);
    FormCreate();
    LiveVideoWindow1 = addWindowItem("LiveVideoWindow1", "&Live Video Window", VideoForm);
    MovementWindow1 = addWindowItem("MovementWindow1", "&Movement Window", ImageForm);
    DirectionWindow1 = addWindowItem("DirectionWindow1", "&Direction Window", DirectionForm);
    addWindowItem("EventsWindow1", "&Events", EventsForm);
    addWindowItem("MovementGraph1", "Movement &Graph", detection_->graph());
    connect(Detection1, &QAction::triggered, detection_, &DetectionControl::showDialog);
}

// Destroyed without being closed first, the window ends the session as closing does, so
// the session never points at a freed window.
TVideo::~TVideo()
{
    FormClose();
}

QAction* TVideo::addWindowItem(const char* name, const QString& text, QWidget* window)
{
    QAction* action = Window1->addAction(text);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, [window = QPointer<QWidget>(window)] {
        if (!window)
            return;
        window->showNormal();
        window->raise();
        window->activateWindow();
    });
    return action;
}

void TVideo::buildMenu()
{
    menuBar()->setObjectName("MainMenu1");
    File1 = menuBar()->addMenu("&File");
    File1->setObjectName("File1");
    auto item = [](QMenu* menu, const char* name, const QString& text) {
        QAction* action = menu->addAction(text);
        action->setObjectName(name);
        return action;
    };
    CopyFrame1 = item(File1, "CopyFrame1", "&Copy Frame");
    CopyFrame1->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    File1->addSeparator();
    Quit1 = item(File1, "Quit1", "&Quit");
    Quit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    Video1 = menuBar()->addMenu("&Video");
    Video1->setObjectName("Video1");
    VideoDisplay1 = item(Video1, "VideoDisplay1", "Video &Display");
    VideoSource1 = item(Video1, "VideoSource1", "Video &Source");
    VideoFormat1 = item(Video1, "VideoFormat1", "Video &Format");
    Video1->addSeparator();
    QMenu* videoWindow = Video1->addMenu("Video &Window");
    videoWindow->setObjectName("VideoWindow1");
    auto* radio = new QActionGroup(this);
    Overlay1 = item(videoWindow, "Overlay1", "&Overlay");
    Preview1 = item(videoWindow, "Preview1", "&Preview");
    for (QAction* action : {Overlay1, Preview1}) {
        action->setCheckable(true);
        radio->addAction(action);
    }
    Preview1->setChecked(true);
    Video1->addSeparator();
    Start1 = item(Video1, "Start1", "S&tart");
    Stop1 = item(Video1, "Stop1", "Sto&p");
    Video1->addSeparator();
    Detection1 = item(Video1, "Detection1", "Dete&ction...");
    cameraMenu_ = new app::CameraMenu(*Video1, this);
    connect(cameraMenu_, &app::CameraMenu::sourceChosen, this, [this] {
        const QString name = cameraMenu_->choice().name.isEmpty() ? "the first camera that answers"
                                                                  : cameraMenu_->choice().name;
        if (!capWindow()) {
            showStatus("Start Video opens " + name);
            return;
        }
        showStatus("Switching to " + name);
        runCommand([this] { StartVideo(); });
    });
    Window1 = menuBar()->addMenu("&Window");
    Window1->setObjectName("Window1");
}

void TVideo::buildBands()
{
    auto* coolBar = new QWidget;
    coolBar->setObjectName("CoolBar1");
    auto* rows = new QVBoxLayout(coolBar);
    rows->setContentsMargins(2, 2, 2, 2);
    rows->setSpacing(2);
    auto addRow = [rows](std::initializer_list<QWidget*> bands) {
        auto* row = new QHBoxLayout;
        row->setSpacing(2);
        for (QWidget* b : bands)
            row->addWidget(b);
        row->addStretch();
        rows->addLayout(row);
    };

    SpeedButton3 = flatButton("SpeedButton3", "Start Video", screenGlyph(false));
    SpeedButton7 = flatButton("SpeedButton7", "Stop Video", screenGlyph(true));
    QWidget* panel1 = buttonBand("Panel1", 171, SpeedButton3, SpeedButton7);
    SpeedButton12 = flatButton("SpeedButton12", "Evolute One", playGlyph(true));
    AutoBut = flatButton("AutoBut", "Auto", playGlyph(false));
    QWidget* panel3 = buttonBand("Panel3", 164, SpeedButton12, AutoBut);
    giveKey(SpeedButton3, Qt::Key_F3, Start1);
    giveKey(SpeedButton7, Qt::Key_F4, Stop1);
    giveKey(SpeedButton12, Qt::Key_F5, clickAction(SpeedButton12, this));
    giveKey(AutoBut, Qt::Key_F6, clickAction(AutoBut, this));

    auto* percentPanel = new BevelPanel;
    percentPanel->setObjectName("PercentPanel");
    percentPanel->setFixedWidth(158);
    percentPanel->setMinimumHeight(34);
    PercentLab = readout("PercentLab", "100", 19, false);
    auto* percentSign = readout("PercentSign", "%", 19, false);
    PixNumLab = readout("PixNumLab", "0123456", 16, true);
    auto* readouts = new QHBoxLayout(percentPanel);
    readouts->setContentsMargins(4, 2, 6, 2);
    readouts->addWidget(PercentLab);
    readouts->addWidget(percentSign);
    readouts->addStretch();
    readouts->addWidget(PixNumLab);
    addRow({panel1, panel3, percentPanel});

    QWidget* panel4 = band("Panel4", 223, 45);
    auto* variations = new QLabel("Pixel Variations :");
    auto* minimal = new QLabel("Minimal Movement :");
    VariatLimitSpinBox = spinBox("VariatLimitSpinBox", 20, 0, 255, variations);
    VariatLimitSpinBox->setMaxLength(3);
    MinMoveSpinBox = spinBox("MinMoveSpinBox", 400, 0, 0, minimal);
    auto* grid = new QGridLayout(panel4);
    grid->setContentsMargins(2, 0, 2, 0);
    grid->setVerticalSpacing(1);
    grid->addWidget(variations, 0, 0);
    grid->addWidget(minimal, 0, 1);
    grid->addWidget(VariatLimitSpinBox, 1, 0);
    grid->addWidget(MinMoveSpinBox, 1, 1);

    QWidget* panel6 = band("Panel6", 118, 41);
    auto* period = new QLabel("Capturing Period");
    // The command line's bounds: a period of 0 would leave Auto on without ticks.
    CapSpeedSpinBox = spinBox("CapSpeedSpinBox", 250, 1, INT_MAX, period);
    auto* panel6Layout = new QVBoxLayout(panel6);
    panel6Layout->setContentsMargins(2, 0, 2, 0);
    panel6Layout->setSpacing(1);
    panel6Layout->addWidget(period);
    panel6Layout->addWidget(CapSpeedSpinBox);

    QWidget* panel5 = band("Panel5", 152, 35);
    BeepOMBox = new QCheckBox("Beep On Move");
    BeepOMBox->setObjectName("BeepOMBox");
    SaveOMBox = new QCheckBox("Save On Move");
    SaveOMBox->setObjectName("SaveOMBox");
    auto* panel5Layout = new QVBoxLayout(panel5);
    panel5Layout->setContentsMargins(2, 0, 2, 0);
    panel5Layout->setSpacing(0);
    panel5Layout->addWidget(BeepOMBox);
    panel5Layout->addWidget(SaveOMBox);
    addRow({panel4, panel6, panel5});

    QWidget* panel2 = band("Panel2", 497, 0);
    VideoLabel = new QLabel("Idle");
    VideoLabel->setObjectName("VideoLabel");
    VideoLabel->setWordWrap(true); // a source's failure is read whole
    auto* panel2Layout = new QHBoxLayout(panel2);
    panel2Layout->setContentsMargins(2, 0, 2, 0);
    panel2Layout->addWidget(VideoLabel);
    addRow({panel2});
    rows->addStretch();

    setCentralWidget(coolBar);
}

void TVideo::FormCreate()
{
    session_ = std::make_unique<watch::Session>();
    ReferenceFrame = &session_->evaluation().reference();
    // The capture windows that Start Video makes show the session's source.
    capture::CaptureWindow::showSource(&session_->source());
    VideoForm = new TVideoForm(this);
    ImageForm = new TImageForm(this);
    DirectionForm = new TDirectionForm(this);
    VideoForm->show();
    ImageForm->show();
    DirectionForm->show();

    watch::Evaluation& evaluation = session_->evaluation();
    detection_ = new DetectionControl(
        evaluation, *ImageForm->Image, [this] { return std::int64_t(MinMoveSpinBox->value()); }, this);
    evaluation.addListener(detection_);
    connect(detection_, &DetectionControl::statusText, this, &TVideo::showStatus);
    connect(detection_, &DetectionControl::statusTextOutdated, this, [this](const QString& text) {
        if (statusBar()->currentMessage() == text) // leaves what others said since
            statusBar()->clearMessage();
    });
    connect(session_.get(), &watch::Session::statusText, this, &TVideo::showStatus);
    connect(&session_->source(), &platform::LiveSource::stateChanged, this, &TVideo::followSource);
    connect(&session_->source(), &platform::LiveSource::statusChanged, this, &TVideo::showSessionState);
    connect(SaveOMBox, &QCheckBox::toggled, session_.get(), &watch::Session::setRecording);
    session_->setRecording(SaveOMBox->isChecked());
    EventsForm = new EventsWindow(session_->events(), this);
    // The events of the save folder are shown whether or not Save On Move is on.
    EventsForm->showFolder(session_->saveFolderPath());
    connect(session_.get(), &watch::Session::saveFolderChanged, EventsForm, &EventsWindow::showFolder);
    web_ = new app::WebPage(this);
    web_->serve(*session_, [this] { return Timer1->enabled(); });
    app::addEventsItem(*Video1, *session_, this, web_);
    app::addCamerasItem(*Video1, *cameraMenu_, *session_, this);
    detection_->dialog()->setEventWatcher(&session_->events());
}

watch::Evaluation* TVideo::evaluation() const
{
    return session_ ? &session_->evaluation() : nullptr;
}

events::EventWatcher* TVideo::eventWatcher() const
{
    return session_ ? &session_->events() : nullptr;
}

void TVideo::showStatus(const QString& text)
{
    statusBar()->showMessage(text);
}

void TVideo::followSource()
{
    using State = platform::LiveSource::State;
    const State state = session_ ? session_->source().state() : State::Closed;
    // Auto on a source that failed for good would only show red: it ends, and says why.
    if (Timer1->enabled() && capWindow() && !startingVideo_ && (state == State::Closed || state == State::Stopped)) {
        SetAuto(false);
        showStatus("Auto stopped: the video failed");
    }
    showSessionState();
}

void TVideo::showSessionState()
{
    if (closed_ || !videoAsked_)
        return; // "Idle" until the user first asks for video or Auto
    VideoLabel->setText(app::sessionStatusText(
        {capWindow() != nullptr, Timer1->enabled(), int(Timer1->interval())}, session_->source()));
}

void TVideo::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    // No tick may start an evaluation on what is being taken apart.
    Timer1->setEnabled(false);
    CapDestroy();
    capture::CaptureWindow::showSource(nullptr);
    ReferenceFrame = nullptr;
    delete EventsForm;
    EventsForm = nullptr;
    delete findChild<app::CamerasWindow*>("CamerasWindow", Qt::FindDirectChildrenOnly); // it reads the session
    session_->evaluation().removeListener(detection_);
    delete detection_;
    detection_ = nullptr;
    delete web_; // it shows the session
    web_ = nullptr;
    // An open event ends; its clip is completed before the program ends.
    session_.reset();
    delete VideoForm;
    VideoForm = nullptr;
    delete ImageForm;
    ImageForm = nullptr;
    delete DirectionForm;
    DirectionForm = nullptr;
}

void TVideo::closeEvent(QCloseEvent* event)
{
    if (CapWaiting()) {
        // A command waits for the source: ending the session ends the wait, and the
        // window closes once that command has unwound.
        CapDestroy();
        event->ignore();
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    FormClose();
    QMainWindow::closeEvent(event);
}

void TVideo::StartVideo()
{
    struct Starting {
        bool& flag;
        explicit Starting(bool& f) : flag(f) { flag = true; }
        ~Starting() { flag = false; }
    };
    videoAsked_ = true;
    {
        // The old source closes before the new one connects: no failure of the video.
        const Starting starting(startingVideo_);
        startCapture();
    }
    followSource();
}

void TVideo::startCapture()
{
    CapSetParent(VideoForm->VideoArea);
    // The label says what the session does (showSessionState), not each report of the service.
    CapSetStatusLabel(nullptr);
    CapSetFrameLimitEvent(nullptr);
    // The session holds one capture window: an open one ends before the new one starts.
    CapDestroy();
    if (CapCreate()) {
        CapSetFrameLimit(45);
        CapStartOverlay();
    }
    TakeReferenceFrame();
}

void TVideo::StopVideo()
{
    // Auto compares the camera's frames: with the video gone it has nothing to compare.
    SetAuto(false);
    CapDestroy();
    showSessionState();
}

void TVideo::MakeItOverlay()
{
    CapOverlayOn();
}

void TVideo::MakeItPreview()
{
    CapPreviewOn();
}

void TVideo::TakeReferenceFrame()
{
    CapGrabToClipboard();
    session_->evaluation().takeReference(platform::frameClipboard().frame());
    CapResumePreview();
}

void TVideo::EvaluateMovement()
{
    struct Running {
        TVideo& window;
        explicit Running(TVideo& w) : window(w) { window.evaluating_ = true; }
        ~Running()
        {
            window.evaluating_ = false;
            ++window.evaluations_;
        }
    } running(*this);

    watch::CycleSettings settings;
    settings.minimalMovement = MinMoveSpinBox->value();
    CapGrabToClipboard();
    const analysis::Frame frame = platform::frameClipboard().frame();
    // Read within the box's own bounds, as the box shows the value once it loses the focus.
    settings.threshold = static_cast<std::uint8_t>(std::clamp(VariatLimitSpinBox->value(), 0, 255));
    settings.beepOnMove = BeepOMBox->isChecked();
    settings.saveOnMove = SaveOMBox->isChecked();
    // The movement window lets go of the last difference picture, so that the cycle paints
    // the next one into the same memory instead of a second picture's: a cycle that touches
    // less memory finds more of it in the processor's cache. Nothing is painted in between,
    // as no events are handled until the new picture is there.
    ImageForm->setPicture(QImage());
    const watch::Cycle& cycle = session_->evaluation().evaluate(frame, settings);
    // The window shows the cycle's own picture; the evaluation leaves it alone while it is held.
    ImageForm->setPicture(platform::sharedImage(cycle.difference));
    if (cycle.centred)
        DirectionForm->ShowDirection(cycle.centre.x, cycle.centre.y);
    if (!cycle.saveError.empty()) {
        // Under "Auto" the next tick would fail the same way as soon as the box closes.
        SetAuto(false);
        std::string text = cycle.saveError;
        if (!cycle.saveErrorReason.empty())
            text += ".\n" + cycle.saveErrorReason;
        throw std::runtime_error(text);
    }

    PixNumLab->setText(QString::number(cycle.changed));
    PercentLab->setText(QString::number(cycle.percent));
    ImageForm->Image->repaint();
    CapResumePreview();
}

void TVideo::SpeedButton12Click()
{
    if (!evaluating_)
        runCommand([this] { EvaluateMovement(); });
}

void TVideo::AutoButClick()
{
    if (Timer1->enabled()) {
        SetAuto(false);
        return;
    }
    // Auto compares the camera's frames, so it starts the video first; only pictures that
    // another program puts on the desktop's clipboard need none.
    if (!capWindow() && !platform::frameClipboard().desktopClipboard()) {
        showStatus("Auto starts the video first");
        runCommand([this] { StartVideo(); });
        if (closed_)
            return;
        if (session_->source().state() != platform::LiveSource::State::Running) {
            showStatus("Auto needs video: " + VideoLabel->text());
            return;
        }
    }
    videoAsked_ = true;
    SetAuto(true);
}

void TVideo::SetAuto(bool on)
{
    Timer1->setEnabled(on);
    QPalette p = AutoBut->palette();
    p.setColor(QPalette::ButtonText, on ? QColor(255, 0, 0) : QColor(0, 0, 0));
    AutoBut->setPalette(p);
    showSessionState();
}

void TVideo::CapSpeedSpinBoxChange()
{
    const int period = CapSpeedSpinBox->value();
    // A typed value stands until the box loses the focus; one the timer cannot run is
    // not taken, and the status line says what goes on instead.
    if (period < 1) {
        showStatus(QString("Capturing Period: 1 ms or more; Auto keeps every %1 ms").arg(Timer1->interval()));
        return;
    }
    Timer1->setInterval(static_cast<std::uint32_t>(period));
    showSessionState();
}

void TVideo::Timer1Timer()
{
    // A tick while an evaluation runs is skipped, not queued. Dialogs and questions do
    // not stop the watching; while the box of a failed cycle is open, the failures of
    // the next cycles go to the status line instead of a box on the box.
    if (evaluating_)
        return;
    if (errorBoxOpen()) {
        try {
            EvaluateMovement();
        } catch (const std::exception& e) {
            statusBar()->showMessage(QString::fromLocal8Bit(e.what()));
        }
        return;
    }
    runCommand([this] { EvaluateMovement(); });
}

void TVideo::Overlay1Click()
{
    Overlay1->setChecked(true);
    runCommand([this] { MakeItOverlay(); });
}

void TVideo::Preview1Click()
{
    Preview1->setChecked(true);
    runCommand([this] { MakeItPreview(); });
}

void TVideo::CopyFrame1Click()
{
    const QImage frame = platform::frameClipboard().image();
    if (frame.isNull()) {
        statusBar()->showMessage("No frame to copy yet: Start Video or Evolute One grabs one");
        return;
    }
    QGuiApplication::clipboard()->setImage(frame);
    statusBar()->showMessage(QString("Frame copied (%1 x %2)").arg(frame.width()).arg(frame.height()));
}
