// Desktop notes through a real D-Bus daemon (the test runs under its own session bus)
// to a small stand-in for the desktop's notification service.

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "Notifier.h"

using namespace events;

namespace {

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Note {
        QString app, summary, body;
        QVariantMap hints;
    };
    QList<Note> notes;

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int)
    {
        notes.append({app, summary, body, hints});
        return static_cast<uint>(notes.size());
    }
};

Event sample(int peak)
{
    Event e;
    e.start = now();
    e.peakCount = peak;
    e.peakPercent = 2.5;
    return e;
}

} // namespace

TEST(Notifier, NotesReachTheServiceOncePerCooldownAndOnlyWhenOn)
{
    // The service on a connection of its own, so each note travels through the daemon.
    QDBusConnection serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-service");
    ASSERT_TRUE(serviceBus.isConnected()) << "run under dbus-run-session";
    FakeNotifications fake;
    ASSERT_TRUE(serviceBus.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceBus.registerService("org.freedesktop.Notifications"));

    Notifier notifier;
    QSignalSpy failures(&notifier, &Notifier::failed);
    EXPECT_FALSE(notifier.eventStarted(sample(1))) << "off by default";

    notifier.setEnabled(true);
    EXPECT_TRUE(notifier.eventStarted(sample(1234)));
    EXPECT_FALSE(notifier.eventStarted(sample(5))) << "within the cooldown";
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notes.size() == 1; }, 10000));
    EXPECT_EQ(fake.notes[0].app, "Video");
    EXPECT_EQ(fake.notes[0].summary, "Movement");
    EXPECT_TRUE(fake.notes[0].body.contains("1234 pixels changed (2.5 %)")) << fake.notes[0].body.toStdString();

    notifier.setCooldown(std::chrono::milliseconds(0));
    EXPECT_TRUE(notifier.eventStarted(sample(6)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notes.size() == 2; }, 10000));

    // Without the service the note fails, and says so.
    serviceBus.unregisterService("org.freedesktop.Notifications");
    QTest::qWait(100);
    EXPECT_TRUE(notifier.eventStarted(sample(7)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return failures.size() == 1; }, 10000));
    EXPECT_TRUE(failures[0][0].toString().startsWith("Desktop notification failed:")) << failures[0][0].toString().toStdString();
    EXPECT_EQ(fake.notes.size(), 2);
}

TEST(Notifier, NotesShowTheEventsThumbnailAndNameTheCamera)
{
    QDBusConnection serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-service-picture");
    ASSERT_TRUE(serviceBus.isConnected()) << "run under dbus-run-session";
    FakeNotifications fake;
    ASSERT_TRUE(serviceBus.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceBus.registerService("org.freedesktop.Notifications"));

    Notifier notifier;
    notifier.setEnabled(true);
    notifier.setCooldown(std::chrono::milliseconds(0));
    notifier.setCamera("Front Yard");
    Event withPicture = sample(800);
    withPicture.thumbnail = "/var/tmp/2026-12-08_10-00-00.jpg";
    ASSERT_TRUE(notifier.eventStarted(withPicture));
    ASSERT_TRUE(notifier.eventStarted(sample(900))); // no thumbnail: records are off
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.notes.size() == 2; }, 10000));
    EXPECT_EQ(fake.notes[0].summary, "Movement: Front Yard");
    EXPECT_EQ(fake.notes[0].hints.value("image-path").toString(), "file:///var/tmp/2026-12-08_10-00-00.jpg");
    EXPECT_EQ(fake.notes[1].summary, "Movement: Front Yard");
    EXPECT_FALSE(fake.notes[1].hints.contains("image-path"));
    serviceBus.unregisterService("org.freedesktop.Notifications");
}

#include "NotifierTest.moc"
