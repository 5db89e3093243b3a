// The MQTT publisher against a real mosquitto broker and a real subscriber: event
// messages and the retained motion state arrive; the broker going away and coming back
// neither holds up the publisher nor loses what it published meanwhile; the discovery
// configuration a home-automation hub reads arrives, and goes when the camera is retired.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "../support/MqttBroker.h"
#include "MqttPublisher.h"

using Message = MqttSubscriber::Message;

namespace {

auto is(const std::string& topic, const std::string& payload)
{
    return [topic, payload](const Message& m) { return m.topic == topic && m.payload == payload; };
}

bool waitConnected(const events::MqttPublisher& publisher)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    while (!publisher.connected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return publisher.connected();
}

// What the publisher tells its listener (from its network thread, which may still be
// telling while this goes, so the texts are shared with it).
class Said {
public:
    explicit Said(events::MqttPublisher& publisher)
    {
        publisher.setStatusListener([texts = texts_](bool, const std::string& text) {
            std::lock_guard lock(texts->mutex);
            texts->lines.push_back(text);
        });
    }
    bool waitFor(const std::string& start)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::lock_guard lock(texts_->mutex);
            for (const std::string& text : texts_->lines)
                if (text.starts_with(start))
                    return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
        }
    }

private:
    struct Texts {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Texts> texts_ = std::make_shared<Texts>();
};

} // namespace

TEST(MqttPublisher, TopicLevelsAreTidyNames)
{
    EXPECT_EQ(events::MqttPublisher::topicLevel("Hall Camera #2"), "hall_camera_2");
    EXPECT_EQ(events::MqttPublisher::topicLevel("videotestsrc"), "videotestsrc");
    EXPECT_EQ(events::MqttPublisher::topicLevel("a/b+c"), "a_b_c");
    EXPECT_EQ(events::MqttPublisher::topicLevel("  "), "camera");
    EXPECT_EQ(events::MqttPublisher::topicLevel(""), "camera");
}

TEST(MqttPublisher, EventsAndTheRetainedMotionStateReachASubscriber)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.waitSubscribed());
    {
        events::MqttPublisher publisher("127.0.0.1", broker.port(), "Front Door");
        EXPECT_EQ(publisher.eventTopic(), "video/front_door/event");
        EXPECT_EQ(publisher.motionTopic(), "video/front_door/motion");
        ASSERT_TRUE(waitConnected(publisher));
        EXPECT_FALSE(subscriber.waitFor(is("video/front_door/status", "online")).topic.empty());
        EXPECT_FALSE(subscriber.waitFor(is("video/front_door/motion", "OFF")).topic.empty());

        publisher.eventStarted(R"({"event":"start","id":1})");
        EXPECT_FALSE(subscriber.waitFor(is("video/front_door/event", R"({"event":"start","id":1})")).topic.empty());
        EXPECT_FALSE(subscriber.waitFor(is("video/front_door/motion", "ON")).topic.empty());
        publisher.eventEnded(R"({"event":"end","id":1})");
        EXPECT_FALSE(subscriber.waitFor(is("video/front_door/event", R"({"event":"end","id":1})")).topic.empty());
    }
    // Closing says so; a subscriber that comes later finds the last states kept.
    EXPECT_FALSE(subscriber.waitFor(is("video/front_door/status", "offline")).topic.empty());
    MqttSubscriber late(broker.port(), "late-subscriber");
    const Message motion = late.waitFor([](const Message& m) { return m.topic == "video/front_door/motion"; });
    EXPECT_EQ(motion.payload, "OFF");
    EXPECT_TRUE(motion.retained);

    std::vector<std::string> order;
    for (const Message& m : subscriber.messages())
        if (m.topic == "video/front_door/motion" || m.topic == "video/front_door/event")
            order.push_back(m.payload);
    const std::vector<std::string> expected{"OFF", R"({"event":"start","id":1})", "ON", R"({"event":"end","id":1})",
                                            "OFF"};
    EXPECT_EQ(order, expected);
}

TEST(MqttPublisher, ABrokerThatGoesAwayAndComesBackGetsWhatWasPublishedMeanwhile)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    auto subscriber = std::make_unique<MqttSubscriber>(broker.port());
    ASSERT_TRUE(subscriber->waitSubscribed());
    events::MqttPublisher publisher("127.0.0.1", broker.port(), "yard");
    Said said(publisher);
    ASSERT_TRUE(waitConnected(publisher));
    publisher.eventStarted(R"({"event":"start","id":7})");
    EXPECT_FALSE(subscriber->waitFor(is("video/yard/event", R"({"event":"start","id":7})")).topic.empty());

    subscriber.reset();
    broker.stop();
    // Published while the broker is gone: the calls return and nothing is lost.
    publisher.eventEnded(R"({"event":"end","id":7})");
    publisher.eventStarted(R"({"event":"start","id":8})");
    EXPECT_TRUE(said.waitFor("Lost the MQTT broker 127.0.0.1:"));

    ASSERT_TRUE(broker.start());
    MqttSubscriber back(broker.port()); // the same durable session as before
    EXPECT_FALSE(back.waitFor(is("video/yard/event", R"({"event":"end","id":7})")).topic.empty());
    EXPECT_FALSE(back.waitFor(is("video/yard/event", R"({"event":"start","id":8})")).topic.empty());
    EXPECT_FALSE(back.waitFor(is("video/yard/motion", "ON")).topic.empty());
    EXPECT_TRUE(publisher.connected());
}

TEST(MqttPublisher, StartsBeforeTheBrokerAndEndsWithoutOne)
{
    MqttBroker broker;
    {
        events::MqttPublisher early("127.0.0.1", broker.port(), "porch");
        EXPECT_FALSE(early.connected());
        early.eventStarted(R"({"event":"start","id":1})");
    } // ends although no broker ever answered

    events::MqttPublisher publisher("127.0.0.1", broker.port(), "porch");
    Said said(publisher);
    publisher.eventStarted(R"({"event":"start","id":2})");
    EXPECT_TRUE(said.waitFor("Cannot reach the MQTT broker 127.0.0.1:")) << "never reached, so not lost";
    {
        events::MqttPublisher nowhere("nosuch.invalid", broker.port(), "porch");
        Said lookup(nowhere);
        EXPECT_TRUE(lookup.waitFor("Cannot find the MQTT broker host nosuch.invalid"));
    }
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(waitConnected(publisher));
    EXPECT_FALSE(subscriber.waitFor(is("video/porch/motion", "ON")).topic.empty());
    // The run's first state is OFF, whatever the broker last kept: the event came after it.
    std::vector<std::string> states;
    for (const Message& m : subscriber.messages())
        if (m.topic == "video/porch/motion")
            states.push_back(m.payload);
    EXPECT_EQ(states, (std::vector<std::string>{"OFF", "ON"}));
}

TEST(MqttPublisher, AnnouncesTheCameraUnderItsDiscoveryPrefixAndRetiringTakesItOff)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port(), "test-subscriber", {"video/#", "hub/discovery/#"});
    ASSERT_TRUE(subscriber.waitSubscribed());
    events::MqttPublisher publisher("127.0.0.1", broker.port(), "Front Door",
                                    events::Discovery{"hub/discovery", "Gate.Example", "1.2.3"});
    ASSERT_TRUE(waitConnected(publisher));
    publisher.changedPercent(12.345);
    EXPECT_FALSE(subscriber.waitFor(is("video/front_door/changed", "12.3")).topic.empty());
    const std::string jpeg("\xff\xd8 picture\0 \xff\xd9", 14);
    publisher.thumbnail(jpeg);
    EXPECT_FALSE(subscriber.waitFor(is("video/front_door/thumbnail", jpeg)).topic.empty());

    // What a hub reads when it comes: the configuration and the picture, kept by the broker.
    MqttSubscriber hub(broker.port(), "hub", {"video/#", "hub/discovery/#"});
    EXPECT_TRUE(hub.waitFor(is("video/front_door/thumbnail", jpeg)).retained);
    const std::string config = "hub/discovery/%1/video_gate_example_front_door_%2/config";
    const struct {
        const char* component;
        const char* entity;
        std::map<QString, QString> keys;
    } entities[] = {
        {"binary_sensor", "motion",
         {{"device_class", "motion"}, {"state_topic", "video/front_door/motion"}, {"payload_on", "ON"},
          {"payload_off", "OFF"}}},
        {"sensor", "changed",
         {{"state_topic", "video/front_door/changed"}, {"unit_of_measurement", "%"}, {"state_class", "measurement"}}},
        {"image", "thumbnail", {{"image_topic", "video/front_door/thumbnail"}, {"content_type", "image/jpeg"}}},
    };
    std::vector<std::string> topics{"video/front_door/thumbnail", "video/front_door/motion", "video/front_door/status"};
    for (const auto& e : entities) {
        const std::string topic = QString::fromStdString(config).arg(e.component, e.entity).toStdString();
        topics.push_back(topic);
        const Message m = hub.waitFor([&](const Message& message) { return message.topic == topic; });
        EXPECT_TRUE(m.retained) << topic;
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(m.payload)).object();
        std::map<QString, QString> keys = e.keys;
        keys.merge(std::map<QString, QString>{{"unique_id", QStringLiteral("video_gate_example_front_door_") + e.entity},
                                              {"availability_topic", "video/front_door/status"},
                                              {"payload_available", "online"},
                                              {"payload_not_available", "offline"}});
        for (const auto& [key, value] : keys)
            EXPECT_EQ(json[key].toString(), value) << topic << " " << key.toStdString();
        const QJsonObject device = json["device"].toObject();
        EXPECT_EQ(device["identifiers"][0], "video_gate_example_front_door") << topic;
        EXPECT_EQ(QStringList({device["name"].toString(), device["model"].toString(), device["sw_version"].toString()}),
                  QStringList({"Front Door", "Video Movement Detector", "1.2.3"}));
    }

    ASSERT_TRUE(publisher.retire());
    for (const std::string& topic : topics)
        EXPECT_FALSE(subscriber.waitFor(is(topic, "")).topic.empty()) << topic << " was not emptied";
}

TEST(MqttPublisher, TheSiteBrokerLetsEachMachineSpeakForItsOwnCamerasOnly)
{
    // The site's example ACL as it is shipped, and a password for each of its users.
    QTemporaryDir site;
    const QString passwords = site.filePath("video.passwd");
    for (const char* user : {"shed", "porch", "hub"}) {
        const QStringList create = QFile::exists(passwords) ? QStringList{} : QStringList{"-c"};
        ASSERT_EQ(QProcess::execute("mosquitto_passwd", create + QStringList{"-b", passwords, user,
                                                                             QString(user) + "-secret"}),
                  0);
    }
    MqttBroker broker(QStringLiteral("allow_anonymous false\npassword_file %1\nacl_file %2\n")
                          .arg(passwords, VIDEO_SOURCE_DIR "/dist/site/mosquitto-site.acl"));
    ASSERT_TRUE(broker.start());
    MqttSubscriber hub(broker.port(), "hub", {"video/#", "homeassistant/#"}, "hub-secret");
    ASSERT_TRUE(hub.waitSubscribed());
    const events::Discovery shedHub{"homeassistant", "shed", "1"};
    {
        events::MqttPublisher stranger("127.0.0.1", broker.port(), "garage");
        Said said(stranger);
        EXPECT_TRUE(said.waitFor("The MQTT broker 127.0.0.1:")) << "no login, no entry";
        // A machine that would speak for another's camera is not heard.
        events::MqttPublisher intruder("127.0.0.1", broker.port(), "Front Door", shedHub, {"shed", "shed-secret"});
        ASSERT_TRUE(waitConnected(intruder));
    }
    events::MqttPublisher garage("127.0.0.1", broker.port(), "garage", shedHub, {"shed", "shed-secret"});
    events::MqttPublisher frontDoor("127.0.0.1", broker.port(), "Front Door", {"homeassistant", "porch", "1"},
                                    {"porch", "porch-secret"});
    for (const std::string topic : {"homeassistant/binary_sensor/video_shed_garage_motion/config",
                                    "homeassistant/image/video_shed_garage_thumbnail/config", "video/garage/status",
                                    "homeassistant/sensor/video_porch_front_door_changed/config"})
        EXPECT_FALSE(hub.waitFor([&](const Message& m) { return m.topic == topic; }).topic.empty()) << topic;
    EXPECT_FALSE(hub.waitFor(is("video/front_door/motion", "OFF")).topic.empty());
    std::vector<std::string> frontDoorStatus;
    for (const Message& m : hub.messages()) {
        EXPECT_EQ(m.topic.find("video_shed_front_door"), std::string::npos) << m.topic;
        if (m.topic == "video/front_door/status")
            frontDoorStatus.push_back(m.payload);
    }
    EXPECT_EQ(frontDoorStatus, std::vector<std::string>{"online"}) << "the porch's alone";
}
