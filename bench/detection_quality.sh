#!/bin/sh
# Detection quality on scenes made from real footage at 320 x 240 and 640 x 480, then the
# stage's cost. The exit status is 0 when the robust detection meets its goals on every scene.
set -eu
cd "$(dirname "$0")/.."
. bench/quality_frames.sh
cmake --build build -j "$(nproc)" --target detection_bench >/dev/null
status=0
# shellcheck disable=SC2086 # the four clip files, none with a space
build/bench/detection_quality $quality_clips || status=1
echo
bench/detection_cost.py build/bench/detection_bench || status=1
exit $status
