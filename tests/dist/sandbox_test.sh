#!/bin/sh
# The headless mode as the service runs it: memory never writable and executable at once
# (MemoryDenyWriteExecute=yes), the environment the service sets and, where a mount
# namespace can be had, a read-only home (ProtectHome=read-only) and a /tmp mounted noexec
# as hardened systems have it. The event is recorded with its clip and the program ends
# cleanly.
set -eu
guard=$1 program=$2 unit=$3 scratch=$4
fail() { echo "sandbox test: $*" >&2; exit 1; }
# Not below /tmp, which is replaced below.
mkdir -p "$scratch"
work=$(mktemp -d -p "$scratch")
trap 'rm -rf "$work"' EXIT
mkdir "$work/config" "$work/events" "$work/home"
# The service's own environment, except what names its folders.
settings=$(sed -n 's/^Environment=\([^%]*\)$/\1/p' "$unit")
[ -n "$settings" ] || fail "the service sets no environment"

watch="env -u XDG_RUNTIME_DIR -u TMPDIR $settings HOME=$work/home XDG_CONFIG_HOME=$work/config $guard $program --headless --log-cycles --period 100 \
  --min-movement 50 --save-dir $work/events \
  --source 'videotestsrc pattern=ball is-live=true ! video/x-raw,width=320,height=240,framerate=10/1'"
# Twenty evaluations, then the reader leaves, which ends the watching with the event finished.
watch="$watch 2>$work/progress | head -n 20 >$work/lines"
if unshare -m true 2>/dev/null; then
  unshare -m sh -c "mount -t tmpfs -o noexec tmpfs /tmp && mount -t tmpfs -o ro tmpfs $work/home && $watch"
else
  sh -c "$watch"
fi

grep -q '"event":"start"' "$work/lines" || fail "no event started: $(cat "$work/progress")"
grep -q "stopped after" "$work/progress" || fail "it did not end cleanly: $(cat "$work/progress")"
[ -f "$work/events/events.sqlite" ] || fail "no event log"
[ "$(ls "$work/events" | grep -c '\.webm$')" = 1 ] || fail "no whole clip: $(ls -a "$work/events")"
echo "the headless mode recorded its event and clip without writable executable memory"
