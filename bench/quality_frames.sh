# shellcheck shell=sh
# Sourced by the detection quality scripts: installs opencv-doc (the example clips: people
# walking in a yard, trees in the wind) and the clips' decoders on the first run (needs root
# or sudo), builds detection_quality and decodes the clips once into raw BGR frames at
# 320 x 240 and 640 x 480, named in $quality_clips (the program's four arguments).
clips=/usr/share/doc/opencv-doc/examples/data
if [ ! -f "$clips/vtest.avi" ] || ! gst-inspect-1.0 avdec_msmpeg4 >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends opencv-doc gstreamer1.0-libav
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target detection_quality >/dev/null

frames=build/bench-frames
mkdir -p "$frames"
quality_clips=""
for size in 320x240 640x480; do
    for clip in vtest tree; do
        if [ ! -s "$frames/$clip-$size.bgr" ]; then
            gst-launch-1.0 -q filesrc location="$clips/$clip.avi" ! decodebin ! videoconvert ! videoscale \
                ! "video/x-raw,format=BGR,width=${size%x*},height=${size#*x}" ! filesink location="$frames/$clip-$size.bgr.part"
            mv "$frames/$clip-$size.bgr.part" "$frames/$clip-$size.bgr"
        fi
        quality_clips="$quality_clips $frames/$clip-$size.bgr"
    done
done
