#include "WindowSettings.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include <QCheckBox>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "CameraMenu.h"
#include "Detection.h"
#include "DetectionControl.h"
#include "Evaluation.h"
#include "EventWatcher.h"
#include "MainVideo.h"
#include "Session.h"
#include "CaptureService.h"
#include "LiveSource.h"
#include "SpinEdit.h"
#include "WebPage.h"

namespace app {

namespace {

// Menus and other pop-ups are windows too, but they open wherever they are called up.
bool isRealWindow(const QWidget& widget)
{
    const Qt::WindowType type = widget.windowType();
    return type == Qt::Window || type == Qt::Dialog;
}

} // namespace

QRect placeOf(const QWidget& window)
{
    return {window.pos(), window.size()};
}

WindowSettings::WindowSettings(TVideo& video, SettingsFile& file, Settings remembered, Options options)
    : QObject(&video), video_(video), file_(file), remembered_(std::move(remembered)),
      used_(withOptions(remembered_, options)), options_(std::move(options))
{
    video_.VariatLimitSpinBox->setValue(used_.pixelVariations);
    video_.MinMoveSpinBox->setValue(used_.minimalMovement);
    // A period of 0 read from an older file would leave Auto without ticks.
    video_.CapSpeedSpinBox->setValue(std::max(used_.capturingPeriod, 1));
    video_.BeepOMBox->setChecked(used_.beepOnMove);
    video_.SaveOMBox->setChecked(used_.saveOnMove);
    // Older runs remembered where menus had opened: that is no place of a window.
    for (QWidget* child : video_.findChildren<QWidget*>())
        if (child->isWindow() && !isRealWindow(*child))
            used_.windowGeometry.erase(child->objectName());
    for (QWidget* window : windows()) {
        const auto place = used_.windowGeometry.find(window->objectName());
        if (place == used_.windowGeometry.end())
            continue;
        window->move(place->second.topLeft());
        // Windows of a fixed size keep it.
        if (window->minimumSize() != window->maximumSize())
            window->resize(place->second.size());
    }
    watch::Session& session = *video_.session();
    QString warning;
    if (!session.useDetection(detectionFromNames(used_.detection), used_.maskFile, warning))
        std::fprintf(stderr, "Video: %s\n", qPrintable(warning));
    startingDetection_ = session.evaluation().detection().settings();
    session.events().setSettings(used_.events);
    video_.installEventFilter(this);
    session.setDiscoveryPrefix(used_.mqttDiscoveryPrefix);
    session.restore(used_.saveDir, used_.mqtt);
    // A source of the command line is no choice of the Camera menu's.
    if (!options_.source)
        video_.cameraMenu()->showRemembered(used_.camera, used_.cameraSource, used_.rtspTransport);
    // Start Video opens a camera in the session's source: its format and controls follow.
    connect(&session.source(), &platform::LiveSource::statusChanged, this, [this](int id) {
        if (id == platform::statusConnecting)
            followSession();
    });
    // The places the windows are shown at, once the window system has placed them.
    QTimer::singleShot(0, this, &WindowSettings::noteStartingPlaces);
}

std::vector<QWidget*> WindowSettings::windows() const
{
    std::vector<QWidget*> found{&video_};
    for (QWidget* child : video_.findChildren<QWidget*>()) {
        if (isRealWindow(*child) && !child->objectName().isEmpty())
            found.push_back(child);
    }
    return found;
}

void WindowSettings::noteStartingPlaces()
{
    for (QWidget* window : windows())
        startingPlaces_[window->objectName()] = placeOf(*window);
}

Settings WindowSettings::current() const
{
    Settings s = used_;
    s.pixelVariations = video_.VariatLimitSpinBox->value();
    s.minimalMovement = video_.MinMoveSpinBox->value();
    s.capturingPeriod = video_.CapSpeedSpinBox->value();
    s.beepOnMove = video_.BeepOMBox->isChecked();
    s.saveOnMove = video_.SaveOMBox->isChecked();
    // Detection settings left as they came hold as they were given (by name or by an option).
    if (video_.evaluation() && !(video_.evaluation()->detection().settings() == startingDetection_))
        s.detection = detectionNames(video_.evaluation()->detection().settings());
    if (video_.eventWatcher())
        s.events = video_.eventWatcher()->settings();
    if (const watch::Session* session = video_.session()) {
        s.saveDir = session->saveFolder();
        s.mqtt = session->broker();
    }
    if (const WebPage* page = video_.webPage())
        s.http = page->settings();
    // A mask loaded or saved in the Detection dialog is the one to use next time.
    if (video_.detection() && !video_.detection()->maskFile().isEmpty())
        s.maskFile = video_.detection()->maskFile();
    if (camera_) {
        camera_->refresh();
        s.camera = cameraName_;
        s.cameraFormat = camera_->format();
        s.cameraControls = camera_->controls();
    }
    // A source chosen in the Camera menu is the one to open next time, whatever ran last.
    if (const CameraMenu* menu = video_.cameraMenu(); menu && menu->chosen()) {
        if (menu->choice().name != s.camera) {
            s.cameraFormat.clear(); // the format and controls were another camera's
            s.cameraControls.clear();
        }
        s.camera = menu->choice().name;
        s.cameraSource = menu->choice().remembered;
        s.rtspTransport = menu->rtspTransport();
    }
    for (QWidget* window : windows()) {
        const auto start = startingPlaces_.find(window->objectName());
        if (start != startingPlaces_.end() && start->second != placeOf(*window))
            s.windowGeometry[window->objectName()] = placeOf(*window);
    }
    return s;
}

bool WindowSettings::eventFilter(QObject* watched, QEvent* event)
{
    // The control panel's windows are taken apart as it closes: read them first.
    if (watched == &video_ && event->type() == QEvent::Close)
        remember();
    return QObject::eventFilter(watched, event);
}

void WindowSettings::followSession()
{
    platform::LiveSource& source = video_.session()->source();
    const QString name = QString::fromStdString(source.name());
    // What was remembered belongs to one camera; another one starts from its own.
    const Settings known = camera_ && name == cameraName_ ? current() : used_;
    const bool same = name == known.camera;
    delete camera_;
    camera_ = new CameraSetup(source, same ? known.cameraFormat : QString(),
                              same ? known.cameraControls : std::map<QString, int>{}, this);
    cameraName_ = name;
}

void WindowSettings::remember()
{
    if (remembered_once_)
        return;
    remembered_once_ = true;
    // A file found unusable was reported as the run started and is left as it is.
    if (file_.usable() && !file_.save(toRemember(remembered_, current(), options_)))
        std::fprintf(stderr, "%s\n", qPrintable(file_.problem()));
}

} // namespace app
