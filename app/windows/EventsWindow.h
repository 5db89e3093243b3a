#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QTableView;

namespace events {
class EventWatcher;
}

namespace app {

class EventListModel;

// The events to review: newest first with their picture, time, duration and peak. A
// double-click plays an event's clip in the desktop's player; the events can be deleted
// with their files, and the folder they are kept in opened.
class EventsWindow : public QWidget {
    Q_OBJECT
public:
    explicit EventsWindow(events::EventWatcher& watcher, QWidget* parent = nullptr);

    EventListModel* model() const { return model_; }
    QTableView* view() const { return view_; }

    // Plays the clip of the event in `row`; false with the reason shown when it cannot.
    bool openClip(int row);
    // Deletes the selected events with their files, after asking.
    void deleteSelected();
    void openFolder();

private:
    void showLog();

    events::EventWatcher& watcher_;
    EventListModel* model_;
    QTableView* view_;
    QPushButton* deleteButton_;
    QLabel* status_;
};

} // namespace app
