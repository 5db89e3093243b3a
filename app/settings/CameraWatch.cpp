#include "CameraWatch.h"

#include <algorithm>

namespace app {

namespace {

std::string displayName(GstDevice* device)
{
    const platform::gst::String name(gst_device_get_display_name(device));
    return name ? name.get() : "Camera";
}

} // namespace

CameraWatch::CameraWatch(QObject* parent) : QObject(parent) {}

CameraWatch::~CameraWatch()
{
    if (starting_.joinable())
        starting_.join();
    if (monitoring_)
        gst_device_monitor_stop(monitor_.get());
}

void CameraWatch::start()
{
    if (started_)
        return;
    started_ = true;
    monitor_.reset(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor_.get(), "Video/Source", nullptr);
    starting_ = std::thread([this, monitor = monitor_.get()] {
        auto found = std::make_shared<std::vector<platform::Driver>>();
        if (gst_device_monitor_start(monitor)) {
            monitoring_ = true;
            GList* devices = gst_device_monitor_get_devices(monitor);
            for (GList* item = devices; item; item = item->next) // the references go to `found`
                found->push_back({displayName(GST_DEVICE(item->data)), {},
                                  platform::gst::Object<GstDevice>(GST_DEVICE(item->data))});
            g_list_free(devices);
        }
        // Dropped unheard when the watch goes first: its destructor waits for this thread.
        QMetaObject::invokeMethod(this, [this, found] { adopt(*found); }, Qt::QueuedConnection);
    });
}

void CameraWatch::adopt(std::vector<platform::Driver>& found)
{
    if (!monitoring_)
        return; // no provider could start: no cameras to follow
    for (platform::Driver& camera : found)
        add(camera.device.get());
    GPollFD poll{};
    const platform::gst::Bus bus(gst_device_monitor_get_bus(monitor_.get()));
    gst_bus_get_pollfd(bus.get(), &poll);
    busNotifier_ = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
    connect(busNotifier_.get(), &QSocketNotifier::activated, this, &CameraWatch::readBus);
    readBus(); // what came while the monitor started
    emit changed();
}

void CameraWatch::add(GstDevice* device)
{
    // A provider may tell of a camera it also lists at the start.
    const bool known = std::any_of(cameras_.begin(), cameras_.end(),
                                   [device](const platform::Driver& camera) { return camera.device.get() == device; });
    if (known)
        return;
    platform::Driver camera{displayName(device), {},
                            platform::gst::Object<GstDevice>(GST_DEVICE(gst_object_ref(device)))};
    const auto at = std::upper_bound(cameras_.begin(), cameras_.end(), camera.name,
                                     [](const std::string& name, const platform::Driver& c) { return name < c.name; });
    cameras_.insert(at, std::move(camera));
}

void CameraWatch::readBus()
{
    const platform::gst::Bus bus(gst_device_monitor_get_bus(monitor_.get()));
    bool changes = false;
    while (platform::gst::Message message{gst_bus_pop(bus.get())}) {
        GstDevice* device = nullptr;
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_DEVICE_ADDED) {
            gst_message_parse_device_added(message.get(), &device);
            add(device);
            changes = true;
        } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_DEVICE_REMOVED) {
            gst_message_parse_device_removed(message.get(), &device);
            std::erase_if(cameras_, [device](const platform::Driver& c) { return c.device.get() == device; });
            changes = true;
        }
        if (device)
            gst_object_unref(device);
    }
    if (changes)
        emit changed();
}

} // namespace app
