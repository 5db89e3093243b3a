#pragma once

#include <QObject>
#include <QString>

class TVideo;

namespace app {

class MqttBridge;

// Where the windows' results go, as the user may change it while they run: the save
// folder (saved frames, the event log and clips) and the MQTT broker events are published
// to. A change takes effect at once: the next saved frame, event and clip go to the new
// folder, and the new broker is connected in place of the old.
class EventOutputs : public QObject {
    Q_OBJECT
public:
    explicit EventOutputs(TVideo& video);
    ~EventOutputs() override;

    // Takes the folder and broker the run starts with as they are (a malformed broker is
    // no broker), without the checks a change made in the window goes through.
    void restore(const QString& saveFolder, const QString& broker);

    // The folder as set (empty: images/ in the working directory), and as a full path.
    const QString& saveFolder() const { return saveFolder_; }
    QString saveFolderPath() const;
    // HOST[:PORT] as set; empty: no broker.
    const QString& broker() const { return broker_; }

    // False, with `error` saying why, when the folder cannot be used; the old one stays
    // then. A folder that does not exist yet is made.
    bool setSaveFolder(const QString& folder, QString& error);
    // False, with `error` saying why, when the address is malformed; the old broker stays
    // then. Empty: no broker.
    bool setBroker(const QString& broker, QString& error);
    // The camera being watched names the topics events are published under.
    void setCamera(const QString& name);

signals:
    // The broker's connection came or went, in words.
    void statusText(const QString& text);

private:
    void useSaveFolder(const QString& folder);
    void connectBroker();

    TVideo& video_;
    QString saveFolder_;
    QString broker_;
    QString camera_; // empty until a session runs
    MqttBridge* mqtt_ = nullptr;
};

// Why `folder` cannot take saved frames, the event log and clips, in words for a message;
// empty when it can. Makes the folder when it does not exist.
QString saveFolderProblem(const QString& folder);
// Why `broker` is no broker address, as a message; empty when it is one or is empty.
QString brokerProblem(const QString& broker);

} // namespace app
