#pragma once

// Registers, once per process, a device provider whose one camera ("Fake Camera") is a
// GStreamer test source, so that the device-monitor path runs without real hardware.
void registerFakeCameraProvider();

// How many cameras the provider finds from now on (1 at first), and how often it was
// asked (once per run of a device monitor).
void setFakeCameraCount(int count);
int fakeCameraProbes();

// Plugs a camera of that name in, or out, while a device monitor watches the provider.
void plugFakeCamera(const char* name, bool in);
