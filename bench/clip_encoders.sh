#!/bin/sh
# What encoding a raw camera for clips costs: CPU seconds for 10 s of video (250
# pictures at 25 a second) of a moving test picture, with each candidate encoder set
# for realtime and a key frame every second, at 640 x 480 and 1920 x 1080. The row
# "none" is the test source alone; an encoder's cost is its row minus that one.
# Also the bytes of 3 s of MJPEG at 1920 x 1080 (the pre-event buffer of a USB camera).
set -eu
for size in 640x480 1920x1080; do
  w=${size%x*}; h=${size#*x}
  src="videotestsrc num-buffers=250 pattern=smpte horizontal-speed=4 ! video/x-raw,format=I420,width=$w,height=$h,framerate=25/1"
  for enc in none \
      "vp8enc deadline=1 cpu-used=16 threads=1 lag-in-frames=0 keyframe-max-dist=25 target-bitrate=$((w*h*3))" \
      "openh264enc complexity=low gop-size=25 bitrate=$((w*h*3)) rate-control=bitrate" \
      "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=25 threads=1 bitrate=$((w*h*3/1000))"; do
    if [ "$enc" = none ]; then pipe="$src ! fakesink"; else pipe="$src ! $enc ! fakesink"; fi
    # shellcheck disable=SC2086
    /usr/bin/time -f "$size ${enc%% *}: user %U s, system %S s, peak memory %M kB" gst-launch-1.0 -q $pipe
  done
done
for pattern in ball smpte snow; do
  bytes=$(gst-launch-1.0 -q videotestsrc num-buffers=75 pattern=$pattern horizontal-speed=4 \
    ! video/x-raw,width=1920,height=1080,framerate=25/1 ! jpegenc ! fdsink | wc -c)
  echo "3 s of 1920x1080 MJPEG, pattern $pattern: $((bytes / 1000000)) MB"
done
