// The bridge between a camera's events and a real mosquitto broker, as the windows use it:
// the camera chosen in their place takes the old one off the hub, the changed pixels of
// many cycles go out at once and then once a second at most, the latest last; a broker
// that asks for a login gets the one a service's environment names.

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

} // namespace

TEST(MqttBridge, ACameraReplacedByAnotherLeavesTheHubAndChangedPixelsGoOutAtAModestRate)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber hub(broker.port(), "hub", {"video/#", "homeassistant/#"});
    ASSERT_TRUE(hub.waitSubscribed());
    events::EventWatcher watcher;
    watch::MqttBridge bridge({"127.0.0.1", broker.port()}, "homeassistant", watcher);
    bridge.setCamera("Front Door");
    std::vector<std::string> configs;
    ASSERT_TRUE(arrives(hub, [&](const Message& m) {
        if (m.topic.find("_front_door_") != std::string::npos && m.topic.ends_with("/config"))
            configs.push_back(m.topic);
        return configs.size() == 3;
    }));

    watch::Cycle cycle;
    cycle.compared = 0;
    cycle.frame = std::make_shared<analysis::Bitmap>(10, 10, analysis::PixelFormat::Bgr24);
    for (int changed = 1; changed <= 20; ++changed) {
        cycle.changed = changed;
        bridge.cycleEvaluated(cycle);
    }
    EXPECT_TRUE(arrives(hub, [](const Message& m) { return m.topic == "video/front_door/changed" && m.payload == "20.0"; }));
    std::vector<std::string> percents;
    for (const Message& m : hub.messages())
        if (m.topic == "video/front_door/changed")
            percents.push_back(m.payload);
    EXPECT_EQ(percents, (std::vector<std::string>{"1.0", "20.0"})) << "the first at once, the latest after a pause";

    bridge.setCamera("Back Door");
    for (const std::string& topic : configs)
        EXPECT_TRUE(arrives(hub, [&](const Message& m) { return m.topic == topic && m.payload.empty(); }))
            << topic << " stays announced";
    EXPECT_TRUE(arrives(hub, [](const Message& m) {
        return m.topic.find("_back_door_motion/config") != std::string::npos && !m.payload.empty();
    }));
}

TEST(MqttBridge, LogsInAsTheUserOfItsEnvironmentWithThePasswordOfItsFile)
{
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
    MqttSubscriber hub(broker.port(), "hub", {"video/#"}, "hub-secret");
    ASSERT_TRUE(hub.waitSubscribed());

    qputenv("VIDEO_MQTT_USER", "shed");
    qputenv("VIDEO_MQTT_PASSWORD_FILE", credential.fileName().toLocal8Bit());
    events::EventWatcher watcher;
    watch::MqttBridge bridge({"127.0.0.1", broker.port()}, {}, watcher);
    bridge.setCamera("garage");
    qunsetenv("VIDEO_MQTT_USER");
    qunsetenv("VIDEO_MQTT_PASSWORD_FILE");
    EXPECT_TRUE(arrives(hub, [](const Message& m) { return m.topic == "video/garage/status" && m.payload == "online"; }));
}
