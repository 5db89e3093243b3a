#include "CaptureDrivers.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

namespace {

constexpr std::size_t maxDrivers = 10;

std::string_view trimmed(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

std::string deviceKey(GstDevice* device)
{
    gst::String name(gst_device_get_display_name(device));
    std::string key = name ? name.get() : "";
    if (GstStructure* properties = gst_device_get_properties(device)) {
        gst::String text(gst_structure_to_string(properties));
        key += '\n';
        key += text.get();
        gst_structure_free(properties);
    }
    return key;
}

} // namespace

std::vector<ConfiguredSource> parseCaptureSources(std::string_view text)
{
    std::vector<ConfiguredSource> sources;
    while (!text.empty() && sources.size() < maxDrivers) {
        const auto end = text.find(';');
        const std::string_view entry = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

        const auto bar = entry.find('|');
        const std::string_view description = trimmed(bar == std::string_view::npos ? entry : entry.substr(bar + 1));
        if (description.empty())
            continue;
        const std::string_view name = bar == std::string_view::npos ? description : trimmed(entry.substr(0, bar));
        sources.push_back({std::string(name.empty() ? description : name), std::string(description)});
    }
    return sources;
}

Driver copyOf(const Driver& driver)
{
    return {driver.name, driver.description,
            gst::Object<GstDevice>(driver.device ? GST_DEVICE(gst_object_ref(driver.device.get())) : nullptr)};
}

namespace {

DriverChoice& choice()
{
    static DriverChoice chosen;
    return chosen;
}

// The drivers before a choice narrows them.
std::vector<Driver> allDrivers()
{
    std::vector<Driver> drivers;
    if (choice().sources) {
        for (const ConfiguredSource& source : *choice().sources)
            drivers.push_back({source.name, source.description, nullptr});
        return drivers;
    }
    if (const char* configured = std::getenv("CAPTURE_SOURCES")) {
        for (ConfiguredSource& source : parseCaptureSources(configured))
            drivers.push_back({std::move(source.name), std::move(source.description), nullptr});
        return drivers;
    }

    gst::Object<GstDeviceMonitor> monitor(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
    if (!gst_device_monitor_start(monitor.get()))
        return drivers;
    GList* devices = gst_device_monitor_get_devices(monitor.get());
    gst_device_monitor_stop(monitor.get());

    std::vector<std::pair<std::string, gst::Object<GstDevice>>> found;
    for (GList* item = devices; item; item = item->next)
        found.emplace_back(deviceKey(GST_DEVICE(item->data)), gst::Object<GstDevice>(GST_DEVICE(item->data)));
    g_list_free(devices); // the references now belong to `found`
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    for (auto& [key, device] : found) {
        if (drivers.size() == maxDrivers)
            break;
        gst::String name(gst_device_get_display_name(device.get()));
        drivers.push_back({name ? name.get() : "Camera", {}, std::move(device)});
    }
    return drivers;
}

// A property value as a source description writes it, quoted where it holds spaces.
std::string propertyText(const GValue* value)
{
    gst::String text(gst_value_serialize(value));
    if (!text)
        return {};
    std::string s = text.get();
    if (s.find_first_of(" \t!\"") != std::string::npos) {
        std::string quoted = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        s = quoted + '"';
    }
    return s;
}

} // namespace

void setDriverChoice(DriverChoice chosen)
{
    choice() = std::move(chosen);
}

std::vector<Driver> findDrivers()
{
    std::vector<Driver> drivers = allDrivers();
    if (!choice().index)
        return drivers;
    if (*choice().index >= drivers.size())
        return {};
    std::vector<Driver> only;
    only.push_back(std::move(drivers[*choice().index]));
    return only;
}

std::string sourceDescription(const Driver& driver)
{
    if (!driver.device)
        return driver.description;
    // The camera's element with the properties that make it this camera: those that differ
    // from a fresh element of its kind.
    gst::Element element = gst::adoptFloating(gst_device_create_element(driver.device.get(), nullptr));
    GstElementFactory* factory = element ? gst_element_get_factory(element.get()) : nullptr;
    if (!factory)
        return {};
    gst::Element plain = gst::adoptFloating(gst_element_factory_create(factory, nullptr));
    std::string line = GST_OBJECT_NAME(factory);
    guint count = 0;
    GParamSpec** properties = g_object_class_list_properties(G_OBJECT_GET_CLASS(element.get()), &count);
    for (guint i = 0; plain && i < count; ++i) {
        const GParamSpec* property = properties[i];
        const std::string name = property->name;
        if ((property->flags & G_PARAM_READWRITE) != G_PARAM_READWRITE || name == "name" || name == "parent")
            continue;
        GValue value = G_VALUE_INIT;
        GValue fresh = G_VALUE_INIT;
        g_value_init(&value, property->value_type);
        g_value_init(&fresh, property->value_type);
        g_object_get_property(G_OBJECT(element.get()), property->name, &value);
        g_object_get_property(G_OBJECT(plain.get()), property->name, &fresh);
        if (gst_value_compare(&value, &fresh) != GST_VALUE_EQUAL) {
            const std::string text = propertyText(&value);
            if (!text.empty())
                line += ' ' + name + '=' + text;
        }
        g_value_unset(&value);
        g_value_unset(&fresh);
    }
    g_free(properties);
    return line;
}

gst::Element makeSourceElement(const Driver& driver, std::string& error)
{
    if (driver.device) {
        gst::Element element = gst::adoptFloating(gst_device_create_element(driver.device.get(), nullptr));
        if (!element)
            error = "Cannot open the camera " + driver.name;
        return element;
    }
    // The description is closed by an element of ours, so that it may end in caps
    // ("videotestsrc ! video/x-raw,width=640") or in an element whose pads appear only
    // once it runs (a decoder); that element's source pad becomes the bin's.
    const std::string closed = driver.description + " ! identity name=capture-source-end";
    GError* raw = nullptr;
    gst::Element bin = gst::adoptFloating(gst_parse_bin_from_description(closed.c_str(), FALSE, &raw));
    gst::Error parseError(raw);
    if (parseError) {
        error = parseError->message;
        return nullptr;
    }
    if (!bin) {
        error = "Cannot build the source " + driver.description;
        return nullptr;
    }
    gst::Element end(gst_bin_get_by_name(GST_BIN(bin.get()), "capture-source-end"));
    gst::Pad endPad(end ? gst_element_get_static_pad(end.get(), "src") : nullptr);
    if (!endPad || !gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", endPad.get()))) {
        error = "The source " + driver.description + " has no video output";
        return nullptr;
    }
    return bin;
}

} // namespace platform
