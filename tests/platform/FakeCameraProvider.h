#pragma once

// Registers, once per process, a device provider whose one camera ("Fake Camera") is a
// GStreamer test source, so that the device-monitor path runs without real hardware.
void registerFakeCameraProvider();
