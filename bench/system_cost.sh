#!/bin/sh
# What watching costs the whole system, the headless program against the Motion daemon, on
# the same MJPEG stream at 1920 x 1080 and at 640 x 480, 25 frames a second, each while it
# records an event, also with a second process keeping one core busy:
#   - CPU: user + system time of the program's process tree over SECONDS (default 30) from
#     the event's start, as a share of one core;
#   - peak resident memory: the largest VmHWM of the tree, and the kernel's max RSS at exit;
#   - the clip: frames in it against the source's frames over the clip's own span (its first
#     to its last frame's time, 25 a second), counted by demuxing it in a GStreamer pipeline
#     (gst-launch-1.0 ... ! matroskademux ! fakesink), so no ffmpeg is needed.
# Both programs run RUNS times (default 3) in turn, their order swapped each time; the table
# gives medians and the CPU ratio of each pair's median. Quick run: `bench/system_cost.sh 1 10`.
#
# The input: the courtyard clip of Debian's opencv-doc (vtest.avi, 768 x 576 at 10 frames a
# second), its frames restamped to 25 a second (31.8 s, people walk through all of it),
# scaled and encoded as JPEG into an MJPEG AVI, made once and kept in build-bench/bench-inputs/.
#
# How both get the same stream: Motion reads V4L2 devices and network cameras, and no
# v4l2loopback device is to be had here, so bench/mjpeg_server.py serves the file's JPEG
# frames as they are stored, as an HTTP multipart/x-mixed-replace stream on 127.0.0.1 at 25
# frames a second, looping, each client from the first frame on. Motion gets it as
# netcam_url; our program gets the very same URL:
#   --source "souphttpsrc location=URL is-live=true do-timestamp=true ! multipartdemux ! image/jpeg"
# The JPEG pictures reach the program undecoded where it takes them (so it can keep them as
# they come); a program that needs decoded frames (today's) is told so by a 10 s probe and is
# given "... ! multipartdemux ! jpegdec" instead. SYSTEM_COST_DECODE=jpegdec (or "") forces
# one of the two. do-timestamp stamps each picture on arrival, as a network camera's would be.
# The server's own CPU is measured apart and counted for neither program.
#
# Motion (Debian's package, installed when missing) runs in the foreground (-n) with a
# configuration of its own in a temporary folder: netcam_url; width and height set to the
# stream's own (it scales a network camera to 640 x 480 otherwise); framerate 25;
# pre_capture and post_capture 75 frames (3 s); event_gap 10 (our events end after 10 s
# without movement); movie_output on (Matroska, its default codec settings); picture_output
# off; its output in the temporary folder; webcontrol_port and stream_port 0 (no listening
# port at all). Our program runs with --detection robust and its default period (250 ms);
# Motion looks at every frame, as it always does.
# Each run has its own XDG_CONFIG_HOME and save folder, removed afterwards.
set -eu
cd "$(dirname "$0")/.."
runs="${1:-3}"
seconds="${2:-30}"
build=build-bench

. bench/motion_setup.sh

inputs="$build/bench-inputs"
mkdir -p "$inputs"
courtyard=/usr/share/doc/opencv-doc/examples/data/vtest.avi
for size in 1920x1080 640x480; do
    file="$inputs/courtyard-$size-25fps-mjpeg.avi"
    [ -s "$file" ] && continue
    width=${size%x*}
    height=${size#*x}
    # rate=2.5 plays the 10-a-second frames at 25 a second, each frame once, none doubled.
    gst-launch-1.0 -q filesrc location="$courtyard" ! decodebin ! videorate rate=2.5 ! \
        video/x-raw,framerate=25/1 ! videoscale ! \
        "video/x-raw,width=$width,height=$height,pixel-aspect-ratio=1/1" ! videoconvert ! \
        jpegenc quality=85 ! avimux ! filesink location="$file.part"
    mv "$file.part" "$file"
done

exec /usr/bin/python3 bench/system_cost.py "$PWD/$build/app/Video" bench/mjpeg_server.py "$runs" "$seconds" \
    "1920x1080=$inputs/courtyard-1920x1080-25fps-mjpeg.avi" "640x480=$inputs/courtyard-640x480-25fps-mjpeg.avi"
