// The Events dialog (and the event gap in the Detection dialog) in the real windows: what
// they take reaches the event watcher and the settings file of the next run; a value in
// the file that this program does not write is not used.

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "EventWatcher.h"
#include "EventsDialog.h"
#include "MainVideo.h"
#include "WindowSettings.h"

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
