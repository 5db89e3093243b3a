#!/bin/sh
# The largest number of 640 x 480, 25 frames a second cameras the headless mode keeps up
# with in one process (4 evaluations a second each, robust detection, the pre-event buffer)
# on this machine, and its CPU per camera, side by side with Debian's Motion given N camera
# files on the same sources; see bench/cameras_per_core.py for what "keeps up" means. The
# input is the courtyard clip of system_cost.sh (people walk through all of it), served by
# bench/mjpeg_server.py as an HTTP MJPEG stream on 127.0.0.1, one connection per camera.
#   bench/cameras_per_core.sh [SECONDS]      (measured per run, 20 by default)
# CAMERAS_PER_CORE_MOST caps N (64 by default).
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-20}"
build=build-bench

. bench/motion_setup.sh

inputs="$build/bench-inputs"
clip="$inputs/courtyard-640x480-25fps-mjpeg.avi"
mkdir -p "$inputs"
if [ ! -s "$clip" ]; then
    # rate=2.5 plays the 10-a-second frames at 25 a second, each frame once, none doubled.
    gst-launch-1.0 -q filesrc location=/usr/share/doc/opencv-doc/examples/data/vtest.avi ! decodebin ! \
        videorate rate=2.5 ! video/x-raw,framerate=25/1 ! videoscale ! \
        "video/x-raw,width=640,height=480,pixel-aspect-ratio=1/1" ! videoconvert ! \
        jpegenc quality=85 ! avimux ! filesink location="$clip.part"
    mv "$clip.part" "$clip"
fi

exec /usr/bin/python3 bench/cameras_per_core.py "$PWD/$build/app/Video" bench/mjpeg_server.py "$clip" "$seconds"
