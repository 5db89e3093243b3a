// The bridge between a camera's events and a real mosquitto broker, as the windows use it:
// it logs in as its environment says, the camera chosen in place of another takes the old
// one off the hub, and the changed pixels of many cycles go out at once and then once a
// second at most, the latest last.

#include <memory>
#include <string>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "../support/MqttBroker.h"
#include "EventWatcher.h"
#include "MqttBridge.h"

using Message = MqttSubscriber::Message;

namespace {

// Waits for a message while the bridge's timers run.
bool arrives(MqttSubscriber& hub, const std::function<bool(const Message&)>& accepted)
{
    const QDeadlineTimer deadline(45000);
    for (; !deadline.hasExpired(); QCoreApplication::processEvents(QEventLoop::AllEvents, 50))
        for (const Message& m : hub.messages())
            if (accepted(m))
                return true;
    return false;
}

auto is(const std::string& topic, const std::string& payload)
{
    return [topic, payload](const Message& m) { return m.topic == topic && m.payload == payload; };
}

} // namespace

TEST(MqttBridge, LogsInReplacesItsCameraOnTheHubAndSendsChangedPixelsAtAModestRate)
{
    // A broker that asks for a login; the bridge's password is in a file, as a service's credential.
    QTemporaryDir site;
    const QString passwords = site.filePath("passwd");
    ASSERT_EQ(QProcess::execute("mosquitto_passwd", {"-c", "-b", passwords, "shed", "shed secret"}), 0);
    ASSERT_EQ(QProcess::execute("mosquitto_passwd", {"-b", passwords, "hub", "hub-secret"}), 0);
    QFile credential(site.filePath("mqtt-password"));
    ASSERT_TRUE(credential.open(QIODevice::WriteOnly));
    credential.write("shed secret\n");
    credential.close();
    MqttBroker broker(QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwords));
    ASSERT_TRUE(broker.start());
    MqttSubscriber hub(broker.port(), "hub", {"video/#", "homeassistant/#"}, "hub-secret");
    ASSERT_TRUE(hub.waitSubscribed());
    qputenv("VIDEO_MQTT_USER", "shed");
    qputenv("VIDEO_MQTT_PASSWORD_FILE", credential.fileName().toLocal8Bit());

    events::EventWatcher watcher;
    watch::MqttBridge bridge({"127.0.0.1", broker.port()}, "homeassistant", watcher);
    bridge.setCamera("Front Door");
    std::string config;
    ASSERT_TRUE(arrives(hub, [&](const Message& m) {
        config = m.topic;
        return m.topic.ends_with("_front_door_motion/config");
    }));

    watch::Cycle cycle;
    cycle.compared = 0;
    cycle.frame = std::make_shared<analysis::Bitmap>(10, 10, analysis::PixelFormat::Bgr24);
    for (cycle.changed = 1; cycle.changed <= 20; ++cycle.changed)
        bridge.cycleEvaluated(cycle);
    EXPECT_TRUE(arrives(hub, is("video/front_door/changed", "20.0")));
    std::vector<std::string> percents;
    for (const Message& m : hub.messages())
        if (m.topic == "video/front_door/changed")
            percents.push_back(m.payload);
    EXPECT_EQ(percents, (std::vector<std::string>{"1.0", "20.0"})) << "the first at once, the latest after a pause";

    bridge.setCamera("Back Door");
    EXPECT_TRUE(arrives(hub, is(config, ""))) << config << " stays announced";
    EXPECT_TRUE(arrives(hub, [](const Message& m) { return m.topic.ends_with("_back_door_motion/config"); }));
    qunsetenv("VIDEO_MQTT_USER");
    qunsetenv("VIDEO_MQTT_PASSWORD_FILE");
}
