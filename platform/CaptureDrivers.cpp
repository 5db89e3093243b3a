#include "CaptureDrivers.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Credentials.h"
#include "NetworkAddress.h"

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

// A name with its control characters as escapes, so that it stays on its line.
std::string printable(std::string_view name)
{
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\r') {
            text += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else {
            text += c;
        }
    }
    return text;
}

// Control characters are white space to GStreamer's parser: as spaces they say the same.
std::string spaced(std::string_view description)
{
    std::string text(description);
    std::replace_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
    return text;
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
        std::string words = spaced(description);
        sources.push_back({name.empty() ? words : printable(name), std::move(words)});
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
        drivers.push_back({name ? printable(name.get()) : "Camera", {}, std::move(device)});
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

namespace {

// The value of `key` ("location=") among the properties of one element's description.
std::string_view propertyValue(std::string_view element, std::string_view key)
{
    for (std::size_t at = element.find(key); at != std::string_view::npos; at = element.find(key, at + 1)) {
        if (at != 0 && element[at - 1] != ' ' && element[at - 1] != '\t')
            continue;
        std::string_view value = element.substr(at + key.size());
        if (value.starts_with('"'))
            return value.substr(1, value.find('"', 1) - 1);
        return value.substr(0, value.find_first_of(" \t"));
    }
    return {};
}

// What tells a file or an address apart from others: the file's name, or the address's
// host and path.
std::string placeName(std::string_view value)
{
    const auto scheme = value.find("://");
    if (scheme != std::string_view::npos && value.substr(0, scheme) != "file") {
        std::string_view rest = value.substr(scheme + 3);
        rest = rest.substr(0, rest.find_first_of("?#"));
        const auto at = rest.find('@');
        if (at != std::string_view::npos && at < rest.find('/'))
            rest = rest.substr(at + 1);
        while (rest.ends_with('/'))
            rest.remove_suffix(1);
        return std::string(rest);
    }
    if (scheme != std::string_view::npos)
        value = value.substr(scheme + 3);
    while (value.ends_with('/'))
        value.remove_suffix(1);
    return std::string(value.substr(value.find_last_of('/') + 1));
}

bool isSink(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    const char* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
    return klass && std::strstr(klass, "Sink");
}

// Every element of `bin`, in nested bins too, with a reference of its own.
std::vector<gst::Element> elementsOf(GstBin* bin)
{
    std::vector<gst::Element> elements;
    GstIterator* it = gst_bin_iterate_recurse(bin);
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        elements.emplace_back(GST_ELEMENT(gst_object_ref(g_value_get_object(&item))));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return elements;
}

void closeOwnedDescriptor(gpointer fd)
{
    ::close(*static_cast<int*>(fd));
    delete static_cast<int*>(fd);
}

// Puts a descriptor reader in the place of `source` (a file source) when it names a FIFO.
// A file source opens a FIFO waiting for a writer and reads it without a way to be
// interrupted: a source nobody writes to kept a thread and its pipeline for good at every
// try. The descriptor reader waits in a poll that ending the pipeline wakes.
bool readFifoWithoutWaiting(GstElement* source, std::string& error)
{
    gchar* rawLocation = nullptr;
    g_object_get(source, "location", &rawLocation, nullptr);
    const gst::String location(rawLocation);
    struct stat status = {};
    if (!location || ::stat(location.get(), &status) != 0 || !S_ISFIFO(status.st_mode))
        return true;
    gst::Pad out(gst_element_get_static_pad(source, "src"));
    gst::Pad peer(out ? gst_pad_get_peer(out.get()) : nullptr);
    GstElement* parent = GST_ELEMENT_PARENT(source);
    if (!peer || !parent)
        return true; // nothing reads it: it stays as it is
    const int fd = ::open(location.get(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("Cannot open the FIFO ") + location.get() + ": " + std::strerror(errno);
        return false;
    }
    GstElement* reader = gst_element_factory_make("fdsrc", nullptr);
    if (!reader) {
        ::close(fd);
        error = "Missing GStreamer element \"fdsrc\" (install its plugin)";
        return false;
    }
    // The descriptor goes with the element that reads it.
    g_object_set_data_full(G_OBJECT(reader), "capture-fifo", new int(fd), closeOwnedDescriptor);
    g_object_set(reader, "fd", fd, nullptr);
    gst_pad_unlink(out.get(), peer.get());
    gst_bin_remove(GST_BIN(parent), source);
    gst_bin_add(GST_BIN(parent), reader);
    const gst::Pad readerOut(gst_element_get_static_pad(reader, "src"));
    if (!GST_PAD_LINK_SUCCESSFUL(gst_pad_link(readerOut.get(), peer.get()))) {
        error = std::string("Cannot read the FIFO ") + location.get();
        return false;
    }
    return true;
}

// Takes the user and password out of a network source's address into the source's own
// properties, with the password the credentials keep when the address has none: an
// address that holds a password is quoted in GStreamer's messages and logs.
bool useCredentials(GstElement* source, std::string& error)
{
    gchar* rawLocation = nullptr;
    gchar* rawUser = nullptr;
    g_object_get(source, "location", &rawLocation, "user-id", &rawUser, nullptr);
    const gst::String location(rawLocation);
    const gst::String userId(rawUser);
    std::string ignored;
    const std::optional<NetworkAddress> address =
        location ? parseNetworkAddress(location.get(), ignored) : std::nullopt;
    if (!address)
        return true;
    const std::string user = !address->user.empty() ? address->user : userId ? userId.get() : "";
    std::optional<Credential> credential;
    if (!address->password.empty())
        credential = Credential{user, address->password};
    else if (!findCredential(address->hostPort(), user, credential, error))
        return false;
    g_object_set(source, "location", address->location(false).c_str(), nullptr);
    if (credential)
        g_object_set(source, "user-id", credential->user.c_str(), "user-pw", credential->password.c_str(), nullptr);
    return true;
}

} // namespace

std::string sourceNameOf(std::string_view description)
{
    const std::string_view text = trimmed(description);
    const std::string_view first = trimmed(text.substr(0, text.find('!')));
    const std::string_view element = first.substr(0, first.find_first_of(" \t"));
    for (const std::string_view key : {"location=", "uri=", "device="}) {
        const std::string name = placeName(propertyValue(first, key));
        if (!name.empty())
            return name;
    }
    // FNV-1a: stable from run to run and machine to machine, as the topics named after it must be.
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char digest[8];
    std::snprintf(digest, sizeof digest, "%04x", unsigned((hash ^ (hash >> 16)) & 0xffffu));
    return std::string(element.empty() ? std::string_view("source") : element) + "-" + digest;
}

gst::Element makeSourceElement(const Driver& driver, std::string& error, bool* unusable)
{
    bool never = false;
    gst::Element element = [&]() -> gst::Element {
        if (driver.device) {
            gst::Element camera = gst::adoptFloating(gst_device_create_element(driver.device.get(), nullptr));
            if (!camera)
                error = "Cannot open the camera " + driver.name;
            return camera;
        }
        // The description is closed by an element of ours, so that it may end in caps
        // ("videotestsrc ! video/x-raw,width=640") or in an element whose pads appear only
        // once it runs (a decoder); that element's source pad becomes the bin's.
        const std::string closed = driver.description + " ! identity name=capture-source-end";
        GError* raw = nullptr;
        gst::Element bin = gst::adoptFloating(gst_parse_bin_from_description(closed.c_str(), FALSE, &raw));
        gst::Error parseError(raw);
        never = true;
        if (parseError) {
            error = "The source \"" + withoutPasswords(driver.description) + "\" cannot be used: " +
                    withoutPasswords(parseError->message);
            return nullptr;
        }
        if (!bin) {
            error = "Cannot build the source " + withoutPasswords(driver.description);
            return nullptr;
        }
        const std::vector<gst::Element> elements = elementsOf(GST_BIN(bin.get()));
        for (const gst::Element& e : elements)
            if (isSink(e.get())) {
                error = "The source \"" + withoutPasswords(driver.description) + "\" holds the sink " +
                        GST_OBJECT_NAME(e.get()) +
                        ": give a source and what turns its output into pictures, nothing that writes or shows them";
                return nullptr;
            }
        gst::Element end(gst_bin_get_by_name(GST_BIN(bin.get()), "capture-source-end"));
        gst::Pad endPad(end ? gst_element_get_static_pad(end.get(), "src") : nullptr);
        if (!endPad || !gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", endPad.get()))) {
            error = "The source " + withoutPasswords(driver.description) + " has no video output";
            return nullptr;
        }
        never = false;
        for (const gst::Element& e : elements) {
            GstElementFactory* factory = gst_element_get_factory(e.get());
            const std::string_view kind = factory ? GST_OBJECT_NAME(factory) : "";
            if (kind == "filesrc" && !readFifoWithoutWaiting(e.get(), error))
                return nullptr;
            // A credential file that must not be used stays so until the user mends it.
            if ((kind == "rtspsrc" || kind == "souphttpsrc") && !useCredentials(e.get(), error)) {
                never = true;
                return nullptr;
            }
        }
        return bin;
    }();
    if (unusable)
        *unusable = never;
    return element;
}

} // namespace platform
