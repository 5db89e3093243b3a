#pragma once

#include <memory>

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTabBar;
class QTableView;

namespace events {
class EventLog;
class EventWatcher;
}

namespace app {

class EventListModel;
class EventPlayer;

// The events to review: newest first with their picture, time, duration and peak, the
// one in progress on top; a strip of the days that had events to pick one; beside the
// list, the chosen event's path over its thumbnail and its clip played in place. Shows
// the log of the save folder whether or not events are recorded now: the watcher's while
// it has it open, otherwise the file read as it is (never made by looking). Events can be
// deleted with their files (Delete), their clip opened in the desktop's player and the
// folder they are kept in opened.
class EventsWindow : public QWidget {
    Q_OBJECT
public:
    explicit EventsWindow(events::EventWatcher& watcher, QWidget* parent = nullptr);
    ~EventsWindow() override;

    EventListModel* model() const { return model_; }
    QTableView* view() const { return view_; }
    EventPlayer* player() const { return player_; }
    QTabBar* dayStrip() const { return days_; }

    // The folder whose events to show while the watcher keeps no records (Save On Move
    // is off): the save folder.
    void showFolder(const QString& folder);
    // Plays the clip of the event in `row` in the desktop's player; false with the reason
    // shown when it cannot.
    bool openClip(int row);
    // Deletes the selected events with their files, after asking.
    void deleteSelected();
    void openFolder();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showLog();
    void showDays();
    void showChosen();
    void showOpenEvent();
    QString folder() const;

    events::EventWatcher& watcher_;
    QString folder_;
    std::unique_ptr<events::EventLog> reader_; // the log read as it is, while the watcher has none
    EventListModel* model_;
    QTabBar* days_;
    QTableView* view_;
    EventPlayer* player_;
    QPushButton* deleteButton_;
    QLabel* status_;
};

} // namespace app
