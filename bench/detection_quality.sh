#!/bin/sh
# Detection quality on scenes made from real footage (the example clips of Debian's
# opencv-doc: people walking in a yard, trees in the wind), then the stage's cost.
# Installs opencv-doc and the clips' decoders on the first run (needs root or sudo).
set -eu
cd "$(dirname "$0")/.."
clips=/usr/share/doc/opencv-doc/examples/data
if [ ! -f "$clips/vtest.avi" ] || ! gst-inspect-1.0 avdec_msmpeg4 >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends opencv-doc gstreamer1.0-libav
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target detection_quality detection_bench >/dev/null

# Raw 320 x 240 BGR frames, decoded once.
frames=build/bench-frames
mkdir -p "$frames"
for clip in vtest tree; do
    if [ ! -s "$frames/$clip.bgr" ]; then
        gst-launch-1.0 -q filesrc location="$clips/$clip.avi" ! decodebin ! videoconvert ! videoscale \
            ! video/x-raw,format=BGR,width=320,height=240 ! filesink location="$frames/$clip.bgr.part"
        mv "$frames/$clip.bgr.part" "$frames/$clip.bgr"
    fi
done
status=0
build/bench/detection_quality "$frames/vtest.bgr" "$frames/tree.bgr" || status=1
echo
bench/detection_cost.py build/bench/detection_bench || status=1
exit $status
