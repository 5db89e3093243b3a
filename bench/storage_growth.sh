#!/bin/sh
# How large the save folder grows while the headless mode watches a scene that moves all
# the time (noise at 768 x 576), with Save On Move and a size limit of 20 MB: the folder's
# largest size, sampled every second, and its size at the end. Usage: storage_growth.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target Video >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/Video" "$work/saved"
cat >"$work/config/Video/video-headless.conf" <<CONF
[General]
format=Video settings 1
[evaluation]
saveOnMove=true
[events]
retentionMB=20
CONF
XDG_CONFIG_HOME="$work/config" build/app/Video --headless --log-cycles --period 100 --save-dir "$work/saved" \
    --source "videotestsrc pattern=snow is-live=true ! video/x-raw,width=768,height=576" \
    >"$work/lines" 2>"$work/progress" &
program=$!
largest=0
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
    sleep 1
    elapsed=$((elapsed + 1))
    size=$(du -sb "$work/saved" | cut -f1)
    [ "$size" -gt "$largest" ] && largest=$size
done
kill -TERM "$program"
wait "$program" || true
frames=$(grep -c '"saved"' "$work/lines" || true)
echo "after ${seconds} s: largest $((largest / 1024)) KiB, at the end $(($(du -sb "$work/saved" | cut -f1) / 1024)) KiB" \
     "(limit 20480 KiB); ${frames} frames saved"
grep -h '"event":"end"' "$work/lines" | cut -c1-400
echo "progress:"
head -20 "$work/progress"
