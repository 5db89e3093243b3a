#pragma once

// Owning handles for GStreamer and GLib objects. Each adopts one reference (or the
// object itself) and releases it when it goes.

#include <memory>

#include <gst/gst.h>

namespace platform::gst {

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
struct SampleUnref {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
struct BufferUnref {
    void operator()(GstBuffer* buffer) const { gst_buffer_unref(buffer); }
};
struct MessageUnref {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};

template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;
using Element = Object<GstElement>;
using Bus = Object<GstBus>;
using Pad = Object<GstPad>;
using Caps = std::unique_ptr<GstCaps, CapsUnref>;
using Sample = std::unique_ptr<GstSample, SampleUnref>;
using Buffer = std::unique_ptr<GstBuffer, BufferUnref>;
using Message = std::unique_ptr<GstMessage, MessageUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using String = std::unique_ptr<gchar, GFree>;

// A new reference to the sinked object: takes ownership of floating references.
template <typename T>
Object<T> adoptFloating(T* object)
{
    return Object<T>(object ? static_cast<T*>(gst_object_ref_sink(object)) : nullptr);
}

} // namespace platform::gst
