#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QImage>
#include <QTimer>
#include <QWidget>

#include "CaptureService.h"
#include "LiveSource.h"

namespace capture {

using platform::CapturePipeline;
using platform::Driver;
using platform::LiveSource;

// A capture window: a child widget that shows the live picture of its driver's live
// source. In preview mode it shows the newest frame at the preview rate, in overlay
// mode each frame as it arrives; scaled to the window or at the frame's own size in the
// top-left corner. A grab stops both modes and shows the grabbed still. The source's
// status reports go to the window's callback.
class CaptureWindow : public QWidget {
public:
    // The window shows the source given to showSource when it is made, or one of its own.
    CaptureWindow(QWidget* parent, const QString& caption);
    ~CaptureWindow() override;

    void setStatusCallback(StatusCallback callback) { callback_ = callback; }
    // Sends a status report to the callback, if one is installed.
    void report(std::int32_t id, const std::string& text);
    // Reports why the picture is not live ("No camera", the source's failure, ...),
    // after `what` ("Video Format: ") when given.
    void reportNotLive(const std::string& what = {});

    // Starts connecting to `driver`; the source tells the outcome.
    void connectDriver(const Driver& driver);
    void disconnectDriver();
    LiveSource& source() { return source_; }
    // The running pipeline, null while the source does not run.
    CapturePipeline* pipeline() const { return source_.pipeline(); }

    // The live source the capture windows made from now on show and connect (a camera's
    // session owns it and outlives them); null: each window makes one of its own.
    static void showSource(LiveSource* source);

    void setPreview(bool on);
    void setOverlay(bool on);
    void setPreviewRate(int milliseconds);
    void setScale(bool on);
    bool scale() const { return scale_; }
    bool previewing() const { return mode_ == Mode::Preview; }
    bool overlaying() const { return mode_ == Mode::Overlay; }

    bool grab();
    // Puts the grabbed still on the frame clipboard; clears it after a
    // grab that got no frame; nothing without any grab.
    bool copyToClipboard() const;

    CaptureParms& sequenceSetup() { return setup_; }
    std::string& captureFile() { return captureFile_; }

    // The picture the window shows now (the still after a grab).
    QImage shownImage() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    enum class Mode { None, Preview, Overlay };
    enum class Grab { Never, Got, Failed };

    void showNewest();

    StatusCallback callback_ = nullptr;
    std::unique_ptr<LiveSource> own_; // when no source was given
    LiveSource& source_;
    Mode mode_ = Mode::None;
    bool scale_ = false;
    int previewRate_ = 40;
    QTimer previewTimer_;
    analysis::Frame current_;
    analysis::Frame still_;
    bool showingStill_ = false;
    Grab grab_ = Grab::Never;
    std::uint64_t lastGrabbed_ = 0;
    CaptureParms setup_;
    std::string captureFile_;
};

} // namespace capture
