#pragma once

// An RTSP server on 127.0.0.1 inside the test, on a thread and GLib context of its own,
// serving a GStreamer launch line at /cam (to a user with a password, when given).
// Destroying it drops every client and closes its port, as a camera that is switched off.

#include <string>
#include <thread>

#include <gst/rtsp-server/rtsp-server.h>

class RtspServer {
public:
    explicit RtspServer(const std::string& launch, int port = 0, const std::string& user = {},
                        const std::string& password = {})
    {
        gst_init(nullptr, nullptr);
        server_ = gst_rtsp_server_new();
        gst_rtsp_server_set_address(server_, "127.0.0.1");
        gst_rtsp_server_set_service(server_, std::to_string(port).c_str());
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, ("( " + launch + " )").c_str());
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        if (!user.empty()) {
            GstRTSPAuth* auth = gst_rtsp_auth_new();
            GstRTSPToken* token =
                gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "watcher", nullptr);
            gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), password.c_str());
            gst_rtsp_auth_add_basic(auth, basic, token);
            g_free(basic);
            gst_rtsp_token_unref(token);
            gst_rtsp_server_set_auth(server_, auth);
            g_object_unref(auth);
            GstRTSPPermissions* permissions = gst_rtsp_permissions_new();
            gst_rtsp_permissions_add_role(permissions, "watcher", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN,
                                          TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
            gst_rtsp_media_factory_set_permissions(factory, permissions);
            gst_rtsp_permissions_unref(permissions);
        }
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        gst_rtsp_mount_points_add_factory(mounts, "/cam", factory); // takes the factory
        g_object_unref(mounts);
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        source_ = gst_rtsp_server_create_source(server_, nullptr, nullptr);
        if (source_)
            g_source_attach(source_, context_);
        port_ = source_ ? gst_rtsp_server_get_bound_port(server_) : -1;
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
    }
    ~RtspServer()
    {
        gst_rtsp_server_client_filter(
            server_, [](GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; }, nullptr);
        g_main_loop_quit(loop_);
        thread_.join();
        if (source_) {
            g_source_destroy(source_);
            g_source_unref(source_);
        }
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    // -1 when it could not listen.
    int port() const { return port_; }
    std::string url(const std::string& userInfo = {}) const
    {
        return "rtsp://" + (userInfo.empty() ? std::string() : userInfo + "@") + "127.0.0.1:" + std::to_string(port_) +
               "/cam";
    }

private:
    GstRTSPServer* server_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GSource* source_ = nullptr;
    int port_ = -1;
    std::thread thread_;
};

// What the test cameras send: 320 x 240 at 10 frames a second, H.264 with a key frame
// every second (as Debian's openh264 encodes it) or JPEG pictures.
inline std::string h264Camera(const std::string& picture)
{
    return "videotestsrc is-live=true " + picture +
           " ! video/x-raw,width=320,height=240,framerate=10/1 ! videoconvert ! openh264enc gop-size=10 ! "
           "rtph264pay name=pay0 pt=96 config-interval=1";
}
inline std::string jpegCamera(const std::string& picture)
{
    return "videotestsrc is-live=true " + picture +
           " ! video/x-raw,format=I420,width=320,height=240,framerate=10/1 ! jpegenc ! rtpjpegpay name=pay0 pt=26";
}
