#pragma once

#include <optional>

#include <QDialog>

#include "EventSettings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;

namespace events {
class EventWatcher;
}

namespace app {

// The user's choices about events: the video kept around one, how much of the old is
// kept, the desktop note and the commands run at its start and end. (The quiet gap that
// ends an event is set in the Detection dialog.)
class EventsDialog : public QDialog {
    Q_OBJECT
public:
    explicit EventsDialog(const events::EventSettings& settings, QWidget* parent = nullptr);

    // The values shown (what the dialog does not show stays as it was opened with);
    // nothing, with `error` set, when a command cannot be split into words.
    std::optional<events::EventSettings> settings(QString& error) const;

signals:
    // OK or Apply with values that hold.
    void applied(const events::EventSettings& settings);

private:
    bool apply();

    events::EventSettings base_;
    QSpinBox* before_;
    QSpinBox* after_;
    QSpinBox* retentionSize_;
    QComboBox* retentionUnit_;
    QSpinBox* retentionDays_;
    QCheckBox* notify_;
    QSpinBox* cooldown_;
    QLineEdit* onStart_;
    QLineEdit* onEnd_;
    QLabel* error_;
};

// Adds "Events..." to `menu` after its "Video Format" item: it opens the dialog on
// `watcher`'s settings and gives the watcher what OK and Apply take.
QAction* addEventsItem(QMenu& menu, events::EventWatcher& watcher, QWidget* parent);

} // namespace app
