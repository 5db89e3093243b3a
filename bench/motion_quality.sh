#!/bin/sh
# The Motion daemon's detection on the scenes of the detection quality benchmark, next to the
# plain comparison, the robust detection, MOG2 and KNN: the quality program's tables with two
# more columns, Motion with its defaults and Motion tuned (see motion_quality.py for how its
# verdicts are matched to the scenes' cycles). Takes about 20 minutes and a few GB in /tmp.
set -eu
cd "$(dirname "$0")/.."
if ! command -v motion >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends motion
fi
# Debian's Motion package starts a system service; it must not watch anything while we measure.
systemctl disable --now motion >/dev/null 2>&1 || service motion stop >/dev/null 2>&1 || true
. bench/quality_frames.sh

work=$(mktemp -d /tmp/motion-quality.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
# shellcheck disable=SC2086 # the four clip files, none with a space
build/bench/detection_quality $quality_clips >"$work/tables.md" || true
# shellcheck disable=SC2086
build/bench/detection_quality --dump "$work/scenes" $quality_clips
/usr/bin/python3 bench/motion_quality.py "$work/scenes" "$work/tables.md"
