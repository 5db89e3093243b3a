#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <QObject>
#include <QSocketNotifier>

#include "CaptureDrivers.h"

namespace app {

// The cameras GStreamer's device monitor finds, kept up to date as cameras are plugged in
// or out. The monitor starts on a thread of its own, as a device provider may take its
// time; what it tells later is read from its bus on the GUI thread, through a socket
// notifier on the bus's poll descriptor, so the windows never wait for it.
class CameraWatch : public QObject {
    Q_OBJECT
public:
    explicit CameraWatch(QObject* parent = nullptr);
    // Waits for a start still under way, then stops the monitor.
    ~CameraWatch() override;
    CameraWatch(const CameraWatch&) = delete;
    CameraWatch& operator=(const CameraWatch&) = delete;

    // Starts watching; later calls do nothing.
    void start();
    // The cameras found so far, sorted by name.
    const std::vector<platform::Driver>& cameras() const { return cameras_; }

signals:
    void changed();

private:
    void adopt(std::vector<platform::Driver>& found);
    void add(GstDevice* device);
    void readBus();

    platform::gst::Object<GstDeviceMonitor> monitor_;
    bool started_ = false;
    std::atomic<bool> monitoring_ = false; // the monitor started (set on the starting thread)
    std::thread starting_;
    std::unique_ptr<QSocketNotifier> busNotifier_;
    std::vector<platform::Driver> cameras_;
};

} // namespace app
