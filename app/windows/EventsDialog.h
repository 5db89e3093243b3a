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

namespace watch {
class Session;
}

namespace app {

class WebPage;

// The user's choices about events: the video kept around one, how much of the old is
// kept, the desktop note and the commands run at its start and end; with `outputs`, also
// the save folder they go to and the MQTT broker they are published to. (The quiet gap
// that ends an event is set in the Detection dialog.)
class EventsDialog : public QDialog {
    Q_OBJECT
public:
    explicit EventsDialog(const events::EventSettings& settings, watch::Session* outputs = nullptr,
                          QWidget* parent = nullptr);

    // The values shown (what the dialog does not show stays as it was opened with);
    // nothing, with `error` set, when a command cannot be split into words.
    std::optional<events::EventSettings> settings(QString& error) const;

signals:
    // OK or Apply with values that hold.
    void applied(const events::EventSettings& settings);

private:
    void fitWrappedText();
    bool apply();
    bool applyOutputs(QString& error);
    void chooseFolder();

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
    watch::Session* outputs_;
    QLineEdit* folder_ = nullptr;
    QString shownFolder_; // the folder in use as the edit last showed it
    QLineEdit* broker_ = nullptr;
    QLabel* error_;
};

// Adds "Events..." to `menu` after its "Video Format" item: it opens the dialog on
// the settings of `session`'s events and its outputs, and gives them what OK and Apply take.
// With `web`, the dialog also sets the web page's address and password.
QAction* addEventsItem(QMenu& menu, watch::Session& session, QWidget* parent, WebPage* web = nullptr);

} // namespace app
