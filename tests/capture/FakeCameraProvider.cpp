#include "FakeCameraProvider.h"

#include <atomic>

#include <gst/gst.h>

namespace {

std::atomic<int> cameraCount{1};
std::atomic<int> probes{0};

struct FakeCamera {
    GstDevice parent;
};
struct FakeCameraClass {
    GstDeviceClass parentClass;
};

G_DEFINE_TYPE(FakeCamera, fake_camera, GST_TYPE_DEVICE)

GstElement* fakeCameraCreateElement(GstDevice*, const gchar* name)
{
    GstElement* source = gst_element_factory_make("videotestsrc", name);
    g_object_set(source, "is-live", TRUE, nullptr);
    return source;
}

void fake_camera_class_init(FakeCameraClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = fakeCameraCreateElement;
}

void fake_camera_init(FakeCamera*) {}

struct FakeCameraProvider {
    GstDeviceProvider parent;
};
struct FakeCameraProviderClass {
    GstDeviceProviderClass parentClass;
};

G_DEFINE_TYPE(FakeCameraProvider, fake_camera_provider, GST_TYPE_DEVICE_PROVIDER)

GstDevice* newCamera(const char* name)
{
    GstCaps* caps = gst_caps_from_string("video/x-raw");
    GstDevice* camera = GST_DEVICE(g_object_new(fake_camera_get_type(), "display-name", name, "device-class",
                                                "Video/Source", "caps", caps, nullptr));
    gst_caps_unref(caps);
    return camera;
}

GList* fakeCameraProbe(GstDeviceProvider*)
{
    ++probes;
    if (cameraCount == 0)
        return nullptr;
    return g_list_append(nullptr, gst_object_ref_sink(newCamera("Fake Camera")));
}

void fake_camera_provider_class_init(FakeCameraProviderClass* klass)
{
    GstDeviceProviderClass* provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = fakeCameraProbe;
    gst_device_provider_class_set_static_metadata(provider, "Fake cameras", "Video/Source", "Test cameras", "tests");
}

void fake_camera_provider_init(FakeCameraProvider*) {}

gboolean registerProvider(GstPlugin* plugin)
{
    return gst_device_provider_register(plugin, "fakecameraprovider", GST_RANK_PRIMARY,
                                        fake_camera_provider_get_type());
}

} // namespace

void registerFakeCameraProvider()
{
    static const bool registered = gst_plugin_register_static(
        GST_VERSION_MAJOR, GST_VERSION_MINOR, "fakecameras", "Test cameras", registerProvider, "1.0", "LGPL",
        "tests", "tests", "tests");
    (void)registered;
}

void setFakeCameraCount(int count)
{
    cameraCount = count;
}

int fakeCameraProbes()
{
    return probes;
}

void plugFakeCamera(const char* name, bool in)
{
    GstDeviceProvider* provider = gst_device_provider_factory_get_by_name("fakecameraprovider");
    if (!provider)
        return;
    if (in) {
        gst_device_provider_device_add(provider, newCamera(name)); // takes the floating reference
    } else {
        GList* devices = gst_device_provider_get_devices(provider);
        for (GList* item = devices; item; item = item->next) {
            gchar* shown = gst_device_get_display_name(GST_DEVICE(item->data));
            if (g_strcmp0(shown, name) == 0)
                gst_device_provider_device_remove(provider, GST_DEVICE(item->data));
            g_free(shown);
        }
        g_list_free_full(devices, gst_object_unref);
    }
    gst_object_unref(provider);
}
