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
    // With `web`, also the web page's address and password.
    explicit EventsDialog(const events::EventSettings& settings, watch::Session* outputs = nullptr,
                          QWidget* parent = nullptr, WebPage* web = nullptr);

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
    bool applyWeb(QString& error);
    void askPassword();
    void passwordHashed(const QString& hash, const QString& problem);
    void showPassword();

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
    WebPage* web_;
    QLineEdit* webAddress_ = nullptr;
    QLabel* webPassword_ = nullptr;
    std::optional<QString> newHash_; // a password chosen here, hashed; empty: none
    bool hashing_ = false;
    QLabel* error_;
};

// Adds "Events..." to `menu` after its "Video Format" item: it opens the dialog on
// the settings of `session`'s events and its outputs, and gives them what OK and Apply take.
// With `web`, the dialog also sets the web page's address and password.
QAction* addEventsItem(QMenu& menu, watch::Session& session, QWidget* parent, WebPage* web = nullptr);

} // namespace app
