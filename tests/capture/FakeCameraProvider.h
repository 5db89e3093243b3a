#pragma once

// Registers, once per process, a device provider whose one camera ("Fake Camera") is a
// GStreamer test source, so that the device-monitor path runs without real hardware.
void registerFakeCameraProvider();

// How many cameras the provider finds from now on (1 at first), and how often it was
// asked (once per run of a device monitor).
void setFakeCameraCount(int count);
int fakeCameraProbes();
