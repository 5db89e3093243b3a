// How long the window's thread keeps its timers waiting while the program watches with its
// windows: Auto with Save On Move on a moving source, events starting and ending, and every
// few seconds one of the program's dialogs opened through its menu and closed again (Video
// Source, Video Format, Video Display, Detection..., Events..., the error box). A 5 ms timer
// on the window's thread notes how much later than due it fires; the longest lateness and
// the percentiles say how long anything made the windows wait. The evaluations counted
// while each dialog was open say whether the watching goes on behind the dialogs.
//
//   window_waits [--seconds S] [--source DESCRIPTION] [--period MS] [--every S] [--open S]
//
// The windows are on Qt's offscreen platform unless a display is asked for; the settings go
// to a temporary XDG_CONFIG_HOME and the events to a temporary folder, both removed at the end.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include "ErrorBox.h"
#include "EventWatcher.h"
#include "MainVideo.h"
#include "SpinEdit.h"

namespace {

struct Options {
    double seconds = 600;
    std::string source = "videotestsrc pattern=ball is-live=true ! video/x-raw,width=640,height=480,framerate=25/1";
    int period = 100;
    double every = 4;
    double open = 2;
};

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds")
            o.seconds = std::atof(value);
        else if (name == "--source")
            o.source = value;
        else if (name == "--period")
            o.period = std::atoi(value);
        else if (name == "--every")
            o.every = std::atof(value);
        else if (name == "--open")
            o.open = std::atof(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            std::exit(2);
        }
    }
    o.open = std::min(o.open, o.every * 0.8);
    return o;
}

// A timer on the window's thread that is always due `interval` after it last fired; each
// firing notes how late it came.
class LatenessProbe : public QObject {
public:
    explicit LatenessProbe(int intervalMs) : interval_(intervalMs)
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, &LatenessProbe::fired);
        clock_.start();
    }
    void start()
    {
        if (first_ < 0)
            first_ = clock_.nsecsElapsed();
        due_ = clock_.nsecsElapsed() + qint64(interval_) * 1'000'000;
        timer_.start(interval_);
    }
    void stop() { timer_.stop(); }
    // Where the watching is at the moment, named in the longest waits.
    std::string phase = "no dialog";
    // An event's start or end, which may be what kept the thread.
    void eventChanged(const char* what)
    {
        lastEvent_ = what;
        lastEventAt_ = clock_.nsecsElapsed();
    }
    struct Wait {
        double ms;
        double at;
        std::string phase;
    };
    std::vector<double> waits;
    std::vector<Wait> longest;

private:
    void fired()
    {
        const qint64 now = clock_.nsecsElapsed();
        const double late = double(std::max<qint64>(0, now - due_)) / 1e6;
        waits.push_back(late);
        if (late > 5) {
            std::string where = phase;
            if (!lastEvent_.empty())
                where += ", " + std::to_string((now - lastEventAt_) / 1'000'000) + " ms after an event's " + lastEvent_;
            longest.push_back({late, double(now - first_) / 1e9, where});
            std::sort(longest.begin(), longest.end(), [](const Wait& a, const Wait& b) { return a.ms > b.ms; });
            if (longest.size() > 5)
                longest.pop_back();
        }
        start();
    }
    int interval_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 due_ = 0;
    qint64 first_ = -1;
    std::string lastEvent_;
    qint64 lastEventAt_ = 0;
};

struct DialogFigures {
    int opened = 0;
    int notClosed = 0;
    double openSeconds = 0;
    int evaluations = 0;
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t i = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    return values[i];
}

// Closes whatever dialog is open: the modal one the user would answer, else a plain one.
bool closeDialog()
{
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        return true;
    }
    bool closed = false;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible()) {
            dialog->reject();
            closed = true;
        }
    }
    return closed;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QTemporaryDir config, saveFolder;
    if (!config.isValid() || !saveFolder.isValid())
        return 1;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("CAPTURE_SOURCES", ("Moving|" + options.source).c_str(), 1);
    QApplication app(argc, argv);
    // Save On Move writes its frames to images/ in the working directory, as the program does.
    QDir::setCurrent(saveFolder.path());
    QDir().mkpath("images");

    TVideo video;
    video.show();
    video.SaveOMBox->setChecked(true);
    video.CapSpeedSpinBox->setValue(options.period);
    LatenessProbe probe(5);
    int started = 0, ended = 0;
    QObject::connect(video.eventWatcher(), &events::EventWatcher::eventStarted, [&] {
        ++started;
        probe.eventChanged("start");
    });
    QObject::connect(video.eventWatcher(), &events::EventWatcher::eventEnded, [&] {
        ++ended;
        probe.eventChanged("end");
    });

    // Start Video and Auto, as --auto does.
    video.SpeedButton3->click();
    video.AutoBut->click();

    struct Dialog {
        const char* name;
        std::function<void()> open;
    };
    auto action = [&video](const char* name) {
        return [&video, name] {
            if (QAction* a = video.findChild<QAction*>(name))
                a->trigger();
            else
                std::fprintf(stderr, "no menu item %s\n", name);
        };
    };
    const std::vector<Dialog> dialogs{
        {"Video Source", action("VideoSource1")},
        {"Video Format", action("VideoFormat1")},
        {"Video Display", action("VideoDisplay1")},
        {"Detection...", action("Detection1")},
        {"Events...", action("Events1")},
        {"error box", [] { app::showErrorBox("A message the benchmark shows and closes"); }},
    };
    std::map<std::string, DialogFigures> figures;
    int evaluationsWithout = 0;
    double secondsWithout = 0;

    QElapsedTimer clock;
    QElapsedTimer phaseClock;
    int phaseEvaluations = 0;
    auto endPhase = [&](const std::string& name, bool dialogOpen) {
        const double seconds = double(phaseClock.nsecsElapsed()) / 1e9;
        const int evaluations = video.evaluations() - phaseEvaluations;
        if (dialogOpen) {
            figures[name].openSeconds += seconds;
            figures[name].evaluations += evaluations;
        } else {
            secondsWithout += seconds;
            evaluationsWithout += evaluations;
        }
        phaseClock.restart();
        phaseEvaluations = video.evaluations();
    };

    // Warm-up: the source connects and the first evaluations run before anything counts.
    QEventLoop settle;
    QTimer::singleShot(3000, &settle, &QEventLoop::quit);
    settle.exec();
    const int evaluationsBefore = video.evaluations();
    clock.start();
    phaseClock.start();
    phaseEvaluations = video.evaluations();
    probe.start();

    // A box the program opens by itself (an error) would stop the watching until answered;
    // it is noted and answered, so that the run goes on and the report names it.
    bool ownDialog = false;
    bool ending = false;
    QStringList unexpected;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || (ownDialog && !ending))
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            unexpected << box->text();
        else
            unexpected << modal->windowTitle();
        closeDialog();
    });
    answer.start(100);

    std::size_t next = 0;
    QTimer cycle;
    cycle.setInterval(int(options.every * 1000));
    QObject::connect(&cycle, &QTimer::timeout, [&] {
        if (double(clock.elapsed()) / 1000 + options.every > options.seconds) {
            cycle.stop();
            return;
        }
        const Dialog& d = dialogs[next++ % dialogs.size()];
        const std::string name = d.name;
        // Closed from a timer of its own: a modal dialog's open() returns only once it closes.
        QTimer::singleShot(int(options.open * 1000), [&, name] {
            if (!closeDialog())
                ++figures[name].notClosed;
            ownDialog = false;
            endPhase(name, true);
            probe.phase = "just after " + name;
        });
        QTimer::singleShot(0, [&, d, name] {
            endPhase(name, false);
            ++figures[name].opened;
            probe.phase = name + " open";
            ownDialog = true;
            d.open();
        });
    });
    cycle.start();

    QEventLoop loop;
    QTimer::singleShot(int(options.seconds * 1000), &loop, [&] {
        ending = true;
        loop.quit();
    });
    loop.exec();
    probe.stop();
    cycle.stop();
    closeDialog();
    endPhase("", false);
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;

    const std::vector<double>& w = probe.waits;
    const double longest = w.empty() ? 0 : *std::max_element(w.begin(), w.end());
    const auto over20 = std::count_if(w.begin(), w.end(), [](double x) { return x > 20; });
    std::printf("Window's thread, %.0f s of Auto (every %d ms) with Save On Move, a dialog opened every %.0f s "
                "for %.1f s:\n",
                elapsed, options.period, options.every, options.open);
    std::printf("  lateness of a 5 ms timer over %zu firings: longest %.1f ms, 99th percentile %.2f ms, "
                "99.9th %.2f ms, median %.2f ms; %ld waits over 20 ms (target: no wait over 20 ms: %s)\n",
                w.size(), longest, percentile(w, 0.99), percentile(w, 0.999), percentile(w, 0.5), long(over20),
                over20 == 0 ? "met" : "NOT met");
    for (const auto& l : probe.longest)
        std::printf("    %.1f ms at %.1f s, %s\n", l.ms, l.at, l.phase.c_str());
    const int evaluations = video.evaluations() - evaluationsBefore;
    std::printf("  evaluations: %d in all; %d in %.0f s with no dialog open (%.1f a second)\n", evaluations,
                evaluationsWithout, secondsWithout, secondsWithout > 0 ? evaluationsWithout / secondsWithout : 0.0);
    int duringDialogs = 0;
    double dialogSeconds = 0;
    for (const Dialog& d : dialogs) {
        const DialogFigures& f = figures[d.name];
        duringDialogs += f.evaluations;
        dialogSeconds += f.openSeconds;
        std::printf("    %-14s opened %3d times, open %5.0f s, evaluations while open %5d (%.1f a second)%s\n", d.name,
                    f.opened, f.openSeconds, f.evaluations, f.openSeconds > 0 ? f.evaluations / f.openSeconds : 0.0,
                    f.notClosed ? " (some did not open)" : "");
    }
    std::printf("  evaluations while dialogs were open: %d in %.0f s (%.1f a second)\n", duringDialogs, dialogSeconds,
                dialogSeconds > 0 ? duringDialogs / dialogSeconds : 0.0);
    std::printf("  events: %d started, %d ended\n", started, ended);
    if (!unexpected.isEmpty())
        std::printf("  boxes the program opened by itself (answered by the benchmark): %lld, the first: %s\n",
                    static_cast<long long>(unexpected.size()), unexpected.first().toLocal8Bit().constData());
    video.close();
    return 0;
}
