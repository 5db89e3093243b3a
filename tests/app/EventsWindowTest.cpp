#include <filesystem>
#include <fstream>

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "../support/ModalBox.h"
#include "EventListModel.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "EventsWindow.h"
#include "Thumbnail.h"

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
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
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
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::ofstream(folder + "/clip" + std::to_string(count - 1) + ".webm") << "clip";
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
    EXPECT_TRUE(window.findChild<QLabel*>("EventsStatus")->text().contains("is not there"));

    window.findChild<QPushButton*>("OpenFolderButton")->click();
    ASSERT_EQ(player.urls.size(), 2);
    EXPECT_EQ(player.urls[1], QUrl::fromLocalFile(dir.path()));
    QDesktopServices::unsetUrlHandler("file");
}

TEST(EventsWindow, NewEventsComeOnTopAndDeleteRemovesTheirFiles)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    EventSettings settings;
    settings.recordClips = false;
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
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
    EXPECT_FALSE(watcher.log()->event(shown.id));

    // Answering no keeps the event.
    window.view()->selectRow(0);
    whenModalOpens([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
    window.findChild<QPushButton*>("DeleteButton")->click();
    EXPECT_EQ(model.rowCount(), 1);
}

#include "EventsWindowTest.moc"
