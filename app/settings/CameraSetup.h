#pragma once

#include <map>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace platform {
class LiveSource;
}

namespace app {

// Brings a live source to the format and picture controls remembered for its camera once
// it runs (the format first, as changing it reconnects the source), and keeps reading
// what they are while it runs, so that what the user chose in the Video dialogs can be
// remembered. Applies them once per connection it is given.
class CameraSetup : public QObject {
    Q_OBJECT
public:
    CameraSetup(platform::LiveSource& source, QString format, std::map<QString, int> controls,
                QObject* parent = nullptr);

    // The format ("video/x-raw,format=YUY2,width=640,height=480,framerate=30/1") and the
    // controls (brightness, contrast, ...) as last seen while the source ran.
    const QString& format() const { return format_; }
    const std::map<QString, int>& controls() const { return controls_; }
    // Reads them now, when the source runs.
    void refresh();

private:
    void stateChanged();

    QPointer<platform::LiveSource> source_;
    QString format_;
    std::map<QString, int> controls_;
    enum class Step { Format, Controls, Done } step_ = Step::Format;
    QTimer reading_;
};

// The part of caps that makes a format: the media type, pixel format, size and frame rate.
QString formatText(const QString& caps);

} // namespace app
