#pragma once

#include <atomic>
#include <memory>

#include <microhttpd.h>

namespace web {

class CameraSlot;

// A response that streams `camera`'s pictures as multipart/x-mixed-replace JPEG parts, at
// most ten a second, each encoded only when it is sent; it ends when `stopping` turns true
// or the camera is no longer watched. Its reader waits for frames inside the connection's
// own thread (the server runs one per connection), so a stream holds up nobody else.
MHD_Response* liveResponse(std::shared_ptr<CameraSlot> camera, const std::atomic<bool>& stopping);

} // namespace web
