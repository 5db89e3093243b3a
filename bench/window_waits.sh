#!/bin/sh
# How long the window's thread makes its timers wait while the program watches with its
# windows (Qt's offscreen platform): Auto every 100 ms with Save On Move, events starting and
# ending, and every 4 s one of the dialogs opened from the menu for 2 s and closed again.
# Prints the longest lateness of a 5 ms timer and its percentiles against the target of no
# wait over 20 ms, and how many evaluations ran while each dialog was open.
#   bench/window_waits.sh [SECONDS]      default 600; 60 for a quick run
# The source: a 640 x 480 MJPEG file made once (15 s of a moving ball, 15 s of a still
# picture, looping), so that an event starts and ends every 30 s. WINDOW_WAITS_SOURCE gives
# another GStreamer source description (e.g. "videotestsrc pattern=ball is-live=true").
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-600}"
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target window_waits >/dev/null

inputs="$build/bench-inputs"
file="$PWD/$inputs/ball-and-still-640x480-25fps-mjpeg-v2.avi"
if [ ! -s "$file" ]; then
    mkdir -p "$inputs"
    gst-launch-1.0 -q concat name=c ! videoconvert ! jpegenc quality=85 ! avimux ! filesink location="$file.part" \
        videotestsrc pattern=ball num-buffers=375 ! video/x-raw,width=640,height=480,framerate=25/1 ! c. \
        videotestsrc pattern=checkers-8 num-buffers=375 ! video/x-raw,width=640,height=480,framerate=25/1 ! c.
    mv "$file.part" "$file"
fi
source="${WINDOW_WAITS_SOURCE:-filesrc location=$file ! decodebin}"

config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
    "$build/bench/window_waits" --seconds "$seconds" --source "$source" --period 100 --every 4 --open 2 2>/dev/null
