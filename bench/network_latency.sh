#!/bin/sh
# Measures how long after a person steps into an RTSP camera's picture the headless
# program's event message reaches the MQTT broker (median of 20 events by default), with
# the camera, the broker and the subscriber on this machine; H.264, then MJPEG.
#     bench/network_latency.sh [EVENTS] [PERIOD_MS]
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Video network_latency >/dev/null
for format in h264 mjpeg; do
  build/bench/network_latency build/app/Video "${1:-20}" "${2:-100}" "$format" 2>/dev/null
done
