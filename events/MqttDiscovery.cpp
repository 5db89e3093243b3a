#include "MqttDiscovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "MqttPublisher.h"

namespace events {

namespace {

const QString programName = QStringLiteral("Video Movement Detector");

QString text(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

} // namespace

std::vector<MqttMessage> discoveryMessages(const Discovery& discovery, std::string_view camera,
                                           const CameraTopics& topics)
{
    if (discovery.prefix.empty())
        return {};
    // The same camera name on two machines makes two devices; the hub keeps an entity by
    // its unique id, so these must stay the same from one run to the next.
    const std::string device =
        "video_" + MqttPublisher::topicLevel(discovery.machine) + "_" + MqttPublisher::topicLevel(camera);
    const QJsonObject deviceBlock{
        {"identifiers", QJsonArray{text(device)}},
        {"name", camera.empty() ? QStringLiteral("Camera") : text(camera)},
        {"model", programName},
        {"sw_version", text(discovery.version)},
    };
    const QJsonObject origin{{"name", programName}, {"sw_version", text(discovery.version)}};

    std::vector<MqttMessage> messages;
    auto add = [&](const char* component, const char* entity, QJsonObject config) {
        const std::string id = device + "_" + entity;
        config["unique_id"] = text(id);
        config["availability_topic"] = text(topics.status);
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        config["qos"] = 1;
        config["device"] = deviceBlock;
        config["origin"] = origin;
        messages.push_back({discovery.prefix + "/" + component + "/" + id + "/config",
                            QJsonDocument(config).toJson(QJsonDocument::Compact).toStdString()});
    };
    add("binary_sensor", "motion",
        {{"name", "Motion"},
         {"device_class", "motion"},
         {"state_topic", text(topics.motion)},
         {"payload_on", "ON"},
         {"payload_off", "OFF"}});
    add("sensor", "changed",
        {{"name", "Changed pixels"},
         {"state_topic", text(topics.changed)},
         {"unit_of_measurement", "%"},
         {"state_class", "measurement"},
         {"suggested_display_precision", 1},
         {"icon", "mdi:motion-sensor"}});
    // An image rather than a camera: the picture changes once an event, and the hub shows an
    // image with the time it came, where a camera would promise a live picture it is not.
    add("image", "thumbnail",
        {{"name", "Latest event"}, {"image_topic", text(topics.thumbnail)}, {"content_type", "image/jpeg"}});
    return messages;
}

} // namespace events
