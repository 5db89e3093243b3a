#!/bin/sh
# Detection quality on scenes made from real footage (the example clips of Debian's
# opencv-doc: people walking in a yard, trees in the wind) at 320 x 240 and 640 x 480, then
# the stage's cost. Installs opencv-doc and the clips' decoders on the first run (needs root
# or sudo). The exit status is 0 when the robust detection meets its goals on every scene.
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

# Raw BGR frames at both sizes, decoded once.
frames=build/bench-frames
mkdir -p "$frames"
for size in 320x240 640x480; do
    for clip in vtest tree; do
        if [ ! -s "$frames/$clip-$size.bgr" ]; then
            gst-launch-1.0 -q filesrc location="$clips/$clip.avi" ! decodebin ! videoconvert ! videoscale \
                ! "video/x-raw,format=BGR,width=${size%x*},height=${size#*x}" ! filesink location="$frames/$clip-$size.bgr.part"
            mv "$frames/$clip-$size.bgr.part" "$frames/$clip-$size.bgr"
        fi
    done
done
status=0
build/bench/detection_quality "$frames/vtest-320x240.bgr" "$frames/tree-320x240.bgr" \
    "$frames/vtest-640x480.bgr" "$frames/tree-640x480.bgr" || status=1
echo
bench/detection_cost.py build/bench/detection_bench || status=1
exit $status
