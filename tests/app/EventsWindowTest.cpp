#include <cmath>
#include <filesystem>
#include <fstream>

#include <QDate>
#include <QDateTime>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "../events/TestVideo.h"
#include "../support/ModalBox.h"
#include "ClipPlayback.h"
#include "ClipboardFrame.h"
#include "EventListModel.h"
#include "EventLog.h"
#include "EventPlayer.h"
#include "EventWatcher.h"
#include "EventsWindow.h"
#include "MainVideo.h"
#include "PictureView.h"
#include "Settings.h"
#include "Thumbnail.h"
#include "WindowSettings.h"

using namespace app;
using namespace events;
namespace fs = std::filesystem;

namespace {

// Stands in for the desktop's player: takes the addresses the window opens.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

// Fills the log with `count` ended events in one transaction, one minute apart, all
// sharing one thumbnail; the newest one gets a clip file.
void fillLog(const std::string& folder, int count)
{
    analysis::Bitmap frame(320, 240, analysis::PixelFormat::Bgr24);
    std::string error;
    ASSERT_TRUE(writeThumbnail(frame, folder + "/shared.jpg", error)) << error;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder + "/events.sqlite").c_str(), &db), SQLITE_OK);
    // The watcher's own writer may hold the lock for a moment (its tidying at open).
    sqlite3_busy_timeout(db, 30'000);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO events (state, start_ms, start_local, start_utc, end_ms, end_local, end_utc, "
                       "peak_count, peak_percent, moving_cycles, centre_path, thumbnail, clip) "
                       "VALUES ('ended', ?1, '', '', ?1 + 4000, '', '', ?2, 1.5, 3, '', ?3, ?4)",
                       -1, &insert, nullptr);
    for (int i = 0; i < count; ++i) {
        sqlite3_bind_int64(insert, 1, 1'800'000'000'000 + std::int64_t(i) * 60'000);
        sqlite3_bind_int64(insert, 2, i);
        const std::string thumbnail = folder + "/shared.jpg";
        const std::string clip = folder + "/clip" + std::to_string(i) + ".webm";
        sqlite3_bind_text(insert, 3, thumbnail.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 4, clip.c_str(), -1, SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::ofstream(folder + "/clip" + std::to_string(count - 1) + ".webm") << "clip";
}

// A cycle of the watcher: `changed` pixels moved around `centre` of a 320 x 240 frame of
// one colour.
CycleSummary movingCycle(std::int64_t changed, analysis::Point centre, Qt::GlobalColor colour = Qt::darkGreen)
{
    QImage picture(320, 240, QImage::Format_BGR888);
    picture.fill(colour);
    CycleSummary s;
    s.time = now();
    s.moving = s.confirmed = true;
    s.changed = changed;
    s.percent = double(changed) * 100 / (320 * 240);
    s.centre = centre;
    s.frame = std::make_shared<const analysis::Bitmap>(platform::bitmapFromImage(picture));
    return s;
}

// Records one event with its clip through a real watcher, as a run of the program would:
// the camera's MJPEG packets before, during and after it, the event ended by its quiet gap.
Event recordEvent(const QString& folder)
{
    EventWatcher watcher;
    EventSettings settings;
    settings.gap = std::chrono::milliseconds(300);
    settings.preRoll = std::chrono::milliseconds(400);
    settings.postRoll = std::chrono::milliseconds(400);
    watcher.setSettings(settings);
    QString error;
    EXPECT_TRUE(watcher.open(folder, error)) << error.toStdString();
    QSignalSpy clips(&watcher, &EventWatcher::clipSaved);
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);
    const std::vector<platform::Packet> packets = testPackets(80, 160, 120);
    std::size_t next = 0;
    const auto push = [&](std::size_t count) {
        for (const std::size_t end = std::min(packets.size(), next + count); next < end; ++next)
            watcher.pushPacket(packets[next]);
    };
    push(10);
    for (int x : {40, 160, 280}) {
        watcher.cycleEvaluated(movingCycle(1000 + x, {x, x / 2}));
        push(20);
    }
    // Generous: under the sanitizers GStreamer's work takes many times as long.
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended.size() == 1; }, 60'000)) << "the gap ends the event";
    push(10); // the after-roll
    EXPECT_TRUE(QTest::qWaitFor([&] { return clips.size() == 1; }, 300'000)) << "the clip is written";
    return ended.empty() ? Event{} : ended[0][0].value<Event>();
}

// Keeps the records of events in `folder`, without clips.
void openWithoutClips(EventWatcher& watcher, const QString& folder)
{
    EventSettings settings;
    settings.recordClips = false;
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(folder, error)) << error.toStdString();
}

// The day of the log's events that an entry of the day strip stands for.
QDate dayOf(const EventListModel& model, int row)
{
    return QDateTime::fromMSecsSinceEpoch(toMilliseconds(model.eventAt(row).start)).date();
}

} // namespace

TEST(EventsWindow, TenThousandEventsOpenAPageAtATimeAndClipsPlay)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    EventWatcher watcher;
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    fillLog(folder, 10'000);
    watcher.open(dir.path(), error); // read again

    EventsWindow window(watcher);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EventListModel& model = *window.model();
    EXPECT_EQ(model.rowCount(), EventListModel::pageSize) << "one page at first";
    EXPECT_EQ(model.eventAt(0).peakCount, 9999) << "newest first";
    EXPECT_LE(model.thumbnailsRead(), 20) << "only the rows shown read their pictures";
    EXPECT_GT(model.thumbnailsRead(), 0);
    const auto shownPicture =
        model.data(model.index(0, EventListModel::Thumbnail), Qt::DecorationRole).value<QPixmap>();
    EXPECT_EQ(shownPicture.size(), window.view()->iconSize()) << "the whole thumbnail, at the list's size";

    // Scrolling to the end fetches the next pages.
    window.view()->scrollToBottom();
    QTest::qWait(20);
    window.view()->scrollToBottom();
    QTest::qWait(20);
    EXPECT_GT(model.rowCount(), EventListModel::pageSize);
    while (model.canFetchMore({}))
        model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 10'000);
    EXPECT_EQ(model.eventAt(9999).peakCount, 0);
    EXPECT_EQ(model.data(model.index(0, EventListModel::Duration), Qt::DisplayRole).toString(), "4.0 s");
    EXPECT_EQ(model.data(model.index(0, EventListModel::Peak), Qt::DisplayRole).toString(), "9999 (1.5 %)");

    UrlCatcher player;
    QDesktopServices::setUrlHandler("file", &player, "open");
    window.view()->scrollToTop();
    const QRect cell = window.view()->visualRect(model.index(0, EventListModel::Time));
    QTest::mouseClick(window.view()->viewport(), Qt::LeftButton, {}, cell.center());
    window.findChild<QPushButton*>("OpenPlayerButton")->click();
    ASSERT_EQ(player.urls.size(), 1);
    EXPECT_EQ(player.urls[0], QUrl::fromLocalFile(dir.filePath("clip9999.webm")));

    EXPECT_FALSE(window.openClip(1)) << "that clip is not there";
    EXPECT_EQ(player.urls.size(), 1);
    // A clip that was never there is noted as lost when the log opens.
    const QString status = window.findChild<QLabel*>("EventsStatus")->text();
    EXPECT_TRUE(status.contains("is not there") || status.contains("was removed: lost")) << status.toStdString();

    window.findChild<QPushButton*>("OpenFolderButton")->click();
    ASSERT_EQ(player.urls.size(), 2);
    EXPECT_EQ(player.urls[1], QUrl::fromLocalFile(dir.path()));
    QDesktopServices::unsetUrlHandler("file");
}

TEST(EventsWindow, NewEventsComeOnTopAndDeleteRemovesTheirFiles)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    openWithoutClips(watcher, dir.path());
    EventsWindow window(watcher);
    window.show();
    EventListModel& model = *window.model();
    EXPECT_EQ(model.rowCount(), 0);

    const auto frame = std::make_shared<const analysis::Bitmap>(64, 48, analysis::PixelFormat::Bgr24);
    const std::string savedFrame = dir.filePath("0.5.bmp").toStdString();
    std::ofstream(savedFrame) << "BM";
    for (int peak : {100, 200}) {
        CycleSummary s;
        s.time = now();
        s.moving = s.confirmed = true;
        s.changed = peak;
        s.frame = frame;
        if (peak == 200)
            s.savedFile = savedFrame; // Save On Move saved the frame of this cycle
        watcher.cycleEvaluated(s);
        watcher.finish();
    }
    ASSERT_EQ(model.rowCount(), 2);
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_EQ(model.eventAt(0).peakCount, 200);
    const Event shown = model.eventAt(0);
    ASSERT_TRUE(fs::exists(shown.thumbnail));

    window.view()->selectRow(0);
    QString asked;
    whenModalOpens([&asked](QWidget* box) {
        asked = static_cast<QMessageBox*>(box)->text();
        static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
    });
    window.findChild<QPushButton*>("DeleteButton")->click();
    EXPECT_TRUE(asked.contains("the frame saved during it")) << asked.toStdString();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.eventAt(0).peakCount, 100);
    EXPECT_FALSE(fs::exists(shown.thumbnail));
    EXPECT_FALSE(fs::exists(savedFrame));
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_FALSE(watcher.log()->event(shown.id));

    // Answering no keeps the event.
    window.view()->selectRow(0);
    whenModalOpens([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
    window.findChild<QPushButton*>("DeleteButton")->click();
    EXPECT_EQ(model.rowCount(), 1);
}

// After a restart the window shows what the save folder's log holds at once, whether
// Save On Move is on or off, before anything is recorded; looking makes no log.
TEST(EventsWindow, OpensColdOnTheSaveFoldersLogWhateverSaveOnMoveIs)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QTemporaryDir dir;
    const Event recorded = recordEvent(dir.path());
    ASSERT_NE(recorded.id, 0);
    ASSERT_FALSE(recorded.path.empty());
    QTemporaryDir empty;

    for (const bool saveOnMove : {false, true})
        for (const QTemporaryDir* folder : {&dir, &empty}) {
            const std::string which = std::string(saveOnMove ? "Save On Move, " : "not saving, ") +
                                      (folder == &dir ? "a folder with events" : "an empty folder");
            app::SettingsFile file(home.filePath("Video.conf"));
            app::Settings stored;
            stored.saveOnMove = saveOnMove;
            ASSERT_TRUE(file.save(stored));
            app::Options options;
            options.saveDir = folder->path();
            TVideo video;
            app::WindowSettings settings(video, file, file.load(), options);
            EventsWindow& window = *video.EventsForm;
            window.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
            const QString status = window.findChild<QLabel*>("EventsStatus")->text();
            if (folder == &dir) {
                ASSERT_EQ(window.model()->rowCount(), 1) << which;
                EXPECT_EQ(window.model()->eventAt(0).id, recorded.id) << which;
                const std::vector<PathPoint>& path = window.model()->eventAt(0).path;
                ASSERT_EQ(path.size(), recorded.path.size()) << which;
                for (std::size_t i = 0; i < path.size(); ++i)
                    EXPECT_TRUE(std::abs(path[i].x - recorded.path[i].x) < 1e-4 &&
                                std::abs(path[i].y - recorded.path[i].y) < 1e-4)
                        << which << ": point " << i;
                EXPECT_EQ(window.dayStrip()->count(), 2) << which << ": all days and today";
            } else {
                EXPECT_EQ(window.model()->rowCount(), 0) << which;
                EXPECT_FALSE(QFileInfo::exists(empty.filePath("events.sqlite"))) << which << ": no log made by looking";
            }
            EXPECT_EQ(status.contains("Save On Move is on"), !saveOnMove) << which << ": " << status.toStdString();
            video.close();
        }
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(EventsWindow, TheEventInProgressIsListedOnTopAndFollowedLive)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    EventSettings settings;
    settings.recordClips = false;
    settings.gap = std::chrono::minutes(10); // ends only when finished here
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    EventsWindow window(watcher);
    window.show();
    EventListModel& model = *window.model();
    const auto text = [&](int column, int role = Qt::DisplayRole) {
        return model.data(model.index(0, column), role).toString().toStdString();
    };
    const auto shownColour = [&] {
        return model.data(model.index(0, EventListModel::Thumbnail), Qt::DecorationRole)
            .value<QPixmap>()
            .toImage()
            .pixelColor(10, 10);
    };

    watcher.cycleEvaluated(movingCycle(100, {80, 60}, Qt::darkGreen));
    ASSERT_EQ(model.rowCount(), 1) << "listed as it starts";
    EXPECT_NE(text(EventListModel::Time).find("(in progress)"), std::string::npos) << text(EventListModel::Time);
    EXPECT_EQ(shownColour(), QColor(Qt::darkGreen));
    window.view()->selectRow(0);
    EXPECT_EQ(window.player()->picture()->picture().isNull(), false) << "its thumbnail with its path";

    QTest::qWait(300); // the event's clock is the machine's steady one
    watcher.cycleEvaluated(movingCycle(5231, {240, 180}, Qt::darkRed));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.eventAt(0).peakCount, 5231) << "its peak follows";
    EXPECT_NE(text(EventListModel::Duration), "0.0 s") << "its duration follows";
    EXPECT_EQ(model.eventAt(0).path.size(), 2u) << "its path follows";
    EXPECT_EQ(shownColour(), QColor(Qt::darkRed)) << "its picture is the busiest frame so far";
    const QString peak = QLocale().toString(5231);
    EXPECT_EQ(QString::fromStdString(text(EventListModel::Thumbnail, Qt::AccessibleTextRole)),
              QStringLiteral("Event in progress since %1, %2 so far, peak %3 pixels")
                  .arg(QDateTime::fromMSecsSinceEpoch(toMilliseconds(model.eventAt(0).start)).toString("HH:mm:ss"),
                       QString::fromStdString(text(EventListModel::Duration)), peak));

    watcher.finish();
    ASSERT_EQ(model.rowCount(), 1) << "the row in progress became the ended event";
    EXPECT_EQ(text(EventListModel::Time).find("(in progress)"), std::string::npos);
    EXPECT_TRUE(model.eventAt(0).ended);
    EXPECT_EQ(QString::fromStdString(text(EventListModel::Thumbnail, Qt::AccessibleTextRole)),
              QStringLiteral("Event at %1, %2, peak %3 pixels")
                  .arg(QDateTime::fromMSecsSinceEpoch(toMilliseconds(model.eventAt(0).start)).toString("HH:mm:ss"),
                       QString::fromStdString(text(EventListModel::Duration)), peak));

    // The next one comes on top of it, and is counted with it once it ends.
    watcher.cycleEvaluated(movingCycle(50, {10, 10}));
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_FALSE(model.eventAt(0).ended);
    watcher.finish();
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_FALSE(model.canFetchMore({}));
}

TEST(EventsWindow, PlaysTheClipInPlaceAndSeeksAlongIt)
{
    QTemporaryDir dir;
    const Event recorded = recordEvent(dir.path());
    ASSERT_FALSE(recorded.clip.empty());
    EventWatcher watcher;
    watcher.setFolder(dir.path()); // recording, the log not open yet: read as it is
    EventsWindow window(watcher);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.model()->rowCount(), 1);
    EventPlayer& player = *window.player();
    platform::ClipPlayback& playback = player.playback();

    // Chosen, it shows its path over its thumbnail: the path's yellow line is drawn.
    window.view()->selectRow(0);
    const QImage still = player.picture()->picture();
    ASSERT_FALSE(still.isNull());
    const auto yellowPixels = [](const QImage& image) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                n += c.red() > 200 && c.green() > 180 && c.blue() < 80;
            }
        return n;
    };
    EXPECT_GT(yellowPixels(still), 100);

    // Enter plays it in the window.
    window.view()->setFocus();
    QTest::keyClick(window.view(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return playback.playing() && playback.picture() && playback.length(); }, 120'000));
    EXPECT_EQ(player.picture()->picture().width(), 160) << "the clip's own frames";
    QSlider& bar = *player.scrubBar();
    EXPECT_TRUE(bar.isEnabled());
    EXPECT_EQ(bar.maximum(), int(playback.length()->count()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !playback.playing(); }, 120'000)) << "it plays to its end";
    const auto end = playback.position();
    EXPECT_GT(end.count(), bar.maximum() / 2);

    // Moving the bar shows the picture where it was let go.
    const int middle = bar.maximum() / 3;
    bar.setValue(middle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return playback.position() < end; }, 120'000));
    EXPECT_NEAR(double(playback.position().count()), middle, 100) << "within a frame or two";
    EXPECT_EQ(bar.value(), int(playback.position().count()));
    EXPECT_FALSE(playback.playing()) << "seeking does not start it";

    // Another event, or none, closes the clip.
    window.view()->clearSelection();
    window.view()->setCurrentIndex({});
    EXPECT_FALSE(playback.isOpen());
}

TEST(EventsWindow, TheDeleteKeyAsksAndDeletesWithTheFilesSayingWhichStay)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    openWithoutClips(watcher, dir.path());
    EventsWindow window(watcher);
    window.show();
    window.activateWindow(); // keys reach the list as a person's would
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    for (int peak : {100, 200}) {
        watcher.cycleEvaluated(movingCycle(peak, {5, 5}));
        watcher.finish();
    }
    EventListModel& model = *window.model();
    ASSERT_EQ(model.rowCount(), 2);
    const Event newest = model.eventAt(0), oldest = model.eventAt(1);
    // A thumbnail that cannot be removed: a folder with a file in it stands in its place.
    ASSERT_TRUE(fs::remove(oldest.thumbnail));
    fs::create_directory(oldest.thumbnail);
    std::ofstream(oldest.thumbnail + "/keep") << "x";

    window.view()->setFocus();
    window.view()->selectRow(1);
    QString asked;
    whenModalOpens([&asked](QWidget* box) {
        asked = static_cast<QMessageBox*>(box)->text();
        static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
    });
    QTest::keyClick(window.view(), Qt::Key_Delete);
    EXPECT_TRUE(asked.startsWith("Delete this event")) << asked.toStdString();
    ASSERT_EQ(model.rowCount(), 1) << "deleted all the same";
    EXPECT_EQ(model.eventAt(0).id, newest.id);
    // The removal is written by the log's writer, after the list shows it.
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_FALSE(watcher.log()->event(oldest.id));
    const QString status = window.findChild<QLabel*>("EventsStatus")->text();
    EXPECT_TRUE(status.contains(QString::fromStdString(oldest.thumbnail)) && status.contains("could not be removed"))
        << status.toStdString();
    const std::vector<StoredFile> left = watcher.log()->presentFiles();
    EXPECT_TRUE(std::any_of(left.begin(), left.end(),
                            [&](const StoredFile& f) { return f.path == oldest.thumbnail && f.eventId == 0; }))
        << "kept for the removal of old files";

    // No to the question keeps the event.
    window.view()->selectRow(0);
    whenModalOpens([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
    QTest::keyClick(window.view(), Qt::Key_Delete);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_TRUE(fs::exists(newest.thumbnail));
}

TEST(EventsWindow, TheDayStripShowsOneDayAtATime)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    fillLog(dir.path().toStdString(), 3000); // one a minute: parts of three days or more
    watcher.open(dir.path(), error);         // read again
    EventsWindow window(watcher);
    window.show();
    EventListModel& model = *window.model();
    QTabBar& days = *window.dayStrip();
    ASSERT_GE(days.count(), 4) << "all days and each day";
    EXPECT_EQ(days.tabText(0), "All days");

    int total = 0;
    for (int tab = 1; tab < days.count(); ++tab) {
        days.setCurrentIndex(tab);
        while (model.canFetchMore({}))
            model.fetchMore({});
        const QDate day = QDate::fromString(days.tabData(tab).toString(), Qt::ISODate);
        EXPECT_TRUE(days.tabText(tab).endsWith(QStringLiteral("(%1)").arg(model.rowCount())))
            << days.tabText(tab).toStdString();
        for (int row = 0; row < model.rowCount(); ++row)
            ASSERT_EQ(dayOf(model, row), day) << "row " << row << " of tab " << tab;
        total += model.rowCount();
    }
    EXPECT_EQ(total, 3000);
    days.setCurrentIndex(0);
    EXPECT_EQ(model.rowCount(), EventListModel::pageSize);
}

#include "EventsWindowTest.moc"
