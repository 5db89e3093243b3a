// The Events dialog (and the event gap in the Detection dialog) in the real windows: what
// they take reaches the event watcher and the settings file of the next run; a value in
// the file that this program does not write is not used.

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "Evaluation.h"
#include "Session.h"
#include "EventWatcher.h"
#include "EventsDialog.h"
#include "EventsWindow.h"
#include "MainVideo.h"
#include "Password.h"
#include "WebPage.h"
#include "WebServer.h"
#include "WindowSettings.h"

using namespace app;

using app::Settings;
using app::SettingsFile;
using namespace std::chrono_literals;

namespace {

app::EventsDialog* openEventsDialog(TVideo& video)
{
    QAction* item = video.Video1->findChild<QAction*>("Events1");
    if (!item)
        return nullptr;
    item->trigger();
    return video.findChild<app::EventsDialog*>("EventsDialog");
}

template <typename T>
T* part(QWidget* dialog, const char* name)
{
    T* found = dialog->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

void press(QWidget* dialog, QDialogButtonBox::StandardButton which)
{
    dialog->findChild<QDialogButtonBox*>()->button(which)->click();
}

} // namespace

TEST(EventsDialog, WhatItTakesReachesTheWatcherAndTheNextRun)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("Video.conf");
    events::EventSettings chosen;
    {
        SettingsFile file(path);
        TVideo video;
        app::WindowSettings settings(video, file, file.load(), {});
        video.show();
        EXPECT_EQ(video.eventWatcher()->settings(), events::EventSettings{});

        app::EventsDialog* dialog = openEventsDialog(video);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(part<QSpinBox>(dialog, "RetentionSizeSpinBox")->value(), 2);
        EXPECT_EQ(part<QComboBox>(dialog, "RetentionUnitBox")->currentText(), "GB");
        part<QSpinBox>(dialog, "BeforeSpinBox")->setValue(5);
        part<QSpinBox>(dialog, "AfterSpinBox")->setValue(0);
        part<QSpinBox>(dialog, "RetentionSizeSpinBox")->setValue(750);
        part<QComboBox>(dialog, "RetentionUnitBox")->setCurrentText("MB");
        part<QSpinBox>(dialog, "RetentionDaysSpinBox")->setValue(7);
        part<QCheckBox>(dialog, "NotifyBox")->setChecked(true);
        part<QSpinBox>(dialog, "CooldownSpinBox")->setValue(15);
        part<QLineEdit>(dialog, "StartCommandEdit")->setText("notify-send 'Movement at {time}'");
        // A quote left open is refused, with a reason, and nothing reaches the watcher.
        part<QLineEdit>(dialog, "EndCommandEdit")->setText("cp {clip} \"/srv/my clips");
        press(dialog, QDialogButtonBox::Apply);
        EXPECT_EQ(video.eventWatcher()->settings(), events::EventSettings{});
        EXPECT_FALSE(part<QLabel>(dialog, "ErrorLabel")->isHidden());
        EXPECT_TRUE(part<QLabel>(dialog, "ErrorLabel")->text().contains("ends"));

        part<QLineEdit>(dialog, "EndCommandEdit")->setText("cp {clip} \"/srv/my clips\"");
        // The gap is set in the Detection dialog, also while this one is open.
        video.Detection1->trigger();
        QSpinBox* gap = part<QSpinBox>(video.findChild<QDialog*>("DetectionDialog"), "EventGapBox");
        EXPECT_EQ(gap->value(), 10);
        EXPECT_FALSE(gap->isHidden());
        gap->setValue(25);
        EXPECT_EQ(video.eventWatcher()->settings().gap, 25s);
        press(dialog, QDialogButtonBox::Ok);
        chosen.gap = 25s;
        chosen.preRoll = 5s;
        chosen.postRoll = 0s;
        chosen.retentionBytes = std::int64_t(750) << 20;
        chosen.retentionAge = std::chrono::hours(24 * 7);
        chosen.notify = true;
        chosen.notifyCooldown = 15s;
        chosen.commandOnStart = QStringList{"notify-send", "Movement at {time}"};
        chosen.commandOnEnd = QStringList{"cp", "{clip}", "/srv/my clips"};
        EXPECT_EQ(video.eventWatcher()->settings(), chosen);
        video.close();
    }
    SettingsFile file(path);
    const Settings read = file.load();
    ASSERT_TRUE(file.problem().isEmpty()) << file.problem().toStdString();
    EXPECT_EQ(read.events, chosen);

    // The next run starts with them, in the watcher and in the dialog.
    TVideo video;
    app::WindowSettings settings(video, file, read, {});
    EXPECT_EQ(video.eventWatcher()->settings(), chosen);
    app::EventsDialog* dialog = openEventsDialog(video);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(part<QSpinBox>(dialog, "RetentionSizeSpinBox")->value(), 750);
    EXPECT_EQ(part<QComboBox>(dialog, "RetentionUnitBox")->currentText(), "MB");
    EXPECT_EQ(part<QLineEdit>(dialog, "EndCommandEdit")->text(), "cp {clip} '/srv/my clips'");
    press(dialog, QDialogButtonBox::Cancel);
    video.Detection1->trigger();
    EXPECT_EQ(part<QSpinBox>(video.findChild<QDialog*>("DetectionDialog"), "EventGapBox")->value(), 25);
    video.close();
}

TEST(EventsDialog, SaveFolderAndBrokerAreSetRefusedWhenUnusableAndRemembered)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("Video.conf");
    const QString chosen = folder.filePath("events here");
    ASSERT_TRUE(QDir().mkpath(chosen));
    QFile plain(folder.filePath("a file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    {
        SettingsFile file(path);
        TVideo video;
        app::WindowSettings settings(video, file, file.load(), {});
        video.show();
        video.SaveOMBox->setChecked(true);
        const std::string firstFolder = video.evaluation()->saveFolder();
        app::EventsDialog* dialog = openEventsDialog(video);
        ASSERT_NE(dialog, nullptr);
        QLineEdit* folderEdit = part<QLineEdit>(dialog, "SaveFolderEdit");
        QLineEdit* brokerEdit = part<QLineEdit>(dialog, "BrokerEdit");
        QLabel* error = part<QLabel>(dialog, "ErrorLabel");
        EXPECT_EQ(folderEdit->text(), QDir("images").absolutePath());
        EXPECT_EQ(brokerEdit->text(), "");

        // Refused, with the reason, and everything stays as it was: the other values of
        // the same Apply too.
        struct Refused {
            QString folder, broker, reason;
        };
        for (const Refused& r : {Refused{plain.fileName(), "", "not a folder"},
                                 Refused{plain.fileName() + "/inside", "", "cannot be made"},
                                 Refused{"  ", "", "no folder"},
                                 Refused{chosen, "broker.local:99999", "port from 1 to 65535"},
                                 Refused{chosen, "broker.local:", "port from 1 to 65535"},
                                 Refused{chosen, "::1", "brackets"},
                                 Refused{chosen, ":1883", "no host"}}) {
            folderEdit->setText(r.folder);
            brokerEdit->setText(r.broker);
            part<QSpinBox>(dialog, "BeforeSpinBox")->setValue(9);
            press(dialog, QDialogButtonBox::Apply);
            EXPECT_FALSE(error->isHidden()) << r.folder.toStdString() << " " << r.broker.toStdString();
            EXPECT_TRUE(error->text().contains(r.reason)) << error->text().toStdString();
            EXPECT_EQ(video.evaluation()->saveFolder(), firstFolder);
            EXPECT_EQ(video.session()->broker(), "");
            EXPECT_EQ(video.eventWatcher()->settings().preRoll, 3s);
        }
        EXPECT_TRUE(error->text().contains("MQTT")) << error->text().toStdString();

        // The folder dialog of the "Save folder..." button fills the edit.
        part<QPushButton>(dialog, "SaveFolderButton")->click();
        auto* chooser = dialog->findChild<QFileDialog*>("SaveFolderChooser");
        ASSERT_NE(chooser, nullptr);
        chooser->selectFile(chosen);
        static_cast<QDialog*>(chooser)->accept(); // as its Choose button does
        EXPECT_EQ(QDir(folderEdit->text()), QDir(chosen));
        brokerEdit->setText(" broker.local:1884 ");
        press(dialog, QDialogButtonBox::Ok);
        EXPECT_TRUE(error->isHidden()) << error->text().toStdString();
        // The next saved frame, event and clip go there.
        EXPECT_EQ(QDir(QString::fromStdString(video.evaluation()->saveFolder())), QDir(chosen));
        EXPECT_EQ(QDir(video.eventWatcher()->folder()), QDir(chosen));
        EXPECT_EQ(video.session()->broker(), "broker.local:1884");
        video.close();
    }
    const Settings read = SettingsFile(path).load();
    EXPECT_EQ(QDir(read.saveDir), QDir(chosen));
    EXPECT_EQ(read.mqtt, "broker.local:1884");

    // The next run starts with them; a folder given on the command line wins for its run
    // and is not remembered.
    app::Options options;
    options.saveDir = folder.path();
    {
        SettingsFile file(path);
        TVideo video;
        app::WindowSettings settings(video, file, file.load(), options);
        app::EventsDialog* dialog = openEventsDialog(video);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(QDir(part<QLineEdit>(dialog, "SaveFolderEdit")->text()), QDir(folder.path()));
        EXPECT_EQ(part<QLineEdit>(dialog, "BrokerEdit")->text(), "broker.local:1884");
        // Emptied: events go to no broker.
        part<QLineEdit>(dialog, "BrokerEdit")->setText("");
        press(dialog, QDialogButtonBox::Ok);
        video.close();
    }
    const Settings again = SettingsFile(path).load();
    EXPECT_EQ(QDir(again.saveDir), QDir(chosen));
    EXPECT_EQ(again.mqtt, "");
}

TEST(EventsDialog, AStoredValueThisProgramDoesNotWriteIsNotUsed)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("Video.conf");
    Settings s;
    s.events.preRoll = 7s;
    ASSERT_TRUE(SettingsFile(path).save(s));
    EXPECT_EQ(SettingsFile(path).load().events.preRoll, 7s);

    for (const auto& [key, value] : {std::pair{"events/beforeSeconds", "-3"}, {"events/gapSeconds", "0"},
                                     {"events/retentionMB", "lots"}, {"events/notify", "maybe"},
                                     {"events/commandOnEnd", "echo 'open"}}) {
        {
            QSettings raw(path, QSettings::IniFormat);
            raw.setValue("events/beforeSeconds", 7);
            raw.setValue(key, value);
        }
        SettingsFile file(path);
        EXPECT_EQ(file.load().events, events::EventSettings{}) << key;
        EXPECT_TRUE(file.problem().contains(key)) << file.problem().toStdString();
        EXPECT_FALSE(file.problem().contains('\n'));
        QSettings raw(path, QSettings::IniFormat);
        raw.remove(key);
    }
}

TEST(EventsDialog, ItsHelpAndErrorsShowWholeUnderATitleOfTheirOwn)
{
    TVideo video;
    video.show();
    app::EventsDialog* dialog = openEventsDialog(video);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_NE(dialog->windowTitle(), video.EventsForm->windowTitle()) << "two windows, two titles";
    EXPECT_EQ(dialog->windowTitle(), "Event Settings");

    auto shownWhole = [](const QLabel* label) {
        return label->height() >= label->heightForWidth(label->width()) &&
               label->geometry().bottom() < label->parentWidget()->height();
    };
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (label->wordWrap() && label->isVisible())
            EXPECT_TRUE(shownWhole(label)) << label->text().toStdString();

    part<QLineEdit>(dialog, "StartCommandEdit")->setText("'unclosed quote and a long enough line of words to wrap");
    part<QLineEdit>(dialog, "SaveFolderEdit")->setText("/proc/version/cannot be a folder with a name this long");
    press(dialog, QDialogButtonBox::Apply);
    QCoreApplication::processEvents();
    ASSERT_TRUE(part<QLabel>(dialog, "ErrorLabel")->isVisible());
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (label->wordWrap() && label->isVisible())
            EXPECT_TRUE(shownWhole(label)) << "with the error shown: " << label->text().toStdString() << ": "
                                           << label->height() << " of " << label->heightForWidth(label->width());
    dialog->close();
    video.close();
}

TEST(EventsDialog, WebPageAddressAndPasswordAreSetRefusedWhenUnsafeAndRemembered)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Video.conf");
    // A port free a moment ago, for the page to listen on.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const QString port = QString::number(probe.serverPort());
    probe.close();
    {
        TVideo video;
        SettingsFile file(path);
        app::WindowSettings settings(video, file, file.load(), {});
        app::EventsDialog* dialog = openEventsDialog(video);
        ASSERT_NE(dialog, nullptr);
        QLineEdit* address = part<QLineEdit>(dialog, "WebAddressEdit");
        QLabel* error = part<QLabel>(dialog, "ErrorLabel");
        address->setText("0.0.0.0:" + port);
        press(dialog, QDialogButtonBox::Apply);
        EXPECT_TRUE(error->text().contains("without a password")) << error->text().toStdString();
        EXPECT_EQ(video.webPage()->server(), nullptr);

        // The password is hashed off the windows' thread; OK then serves to every machine.
        part<QPushButton>(dialog, "WebPasswordButton")->click();
        auto* ask = dialog->findChild<QInputDialog*>("WebPasswordDialog");
        ASSERT_NE(ask, nullptr);
        ask->setTextValue("door key");
        ask->accept();
        QLabel* password = part<QLabel>(dialog, "WebPasswordLabel");
        EXPECT_TRUE(QTest::qWaitFor([&] { return password->text().startsWith("a new one"); }, 30'000));
        press(dialog, QDialogButtonBox::Ok);
        ASSERT_NE(video.webPage()->server(), nullptr) << error->text().toStdString();
        EXPECT_EQ(video.webPage()->server()->port(), port.toInt());
        video.close();
    }
    const Settings read = SettingsFile(path).load();
    EXPECT_EQ(read.http.listen, "0.0.0.0:" + port);
    EXPECT_TRUE(web::passwordMatches("door key", read.http.passwordHash.toStdString()));
    EXPECT_FALSE(web::passwordMatches("door kez", read.http.passwordHash.toStdString()));
}
