#!/bin/sh
# Builds the program and starts it.
set -eu
# The program runs where it was started from, which keeps its saved frames in images/ there.
here=$(pwd)
cd "$(dirname "$0")/.."
checkout=$(pwd)

# Told before the build, which takes minutes, not after it.
case " $* " in *" --headless "*) headless=yes ;; *) headless=no ;; esac
if [ "$headless" = no ] && [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display to show the program on: run this from a desktop session (DISPLAY or WAYLAND_DISPLAY unset)." >&2
  exit 1
fi

sh scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target Video

if [ -z "${CAPTURE_SOURCES:-}" ] && ! ls /dev/video* >/dev/null 2>&1; then
  CAPTURE_SOURCES="Test pattern|videotestsrc pattern=ball is-live=true ! video/x-raw,width=320,height=240,framerate=25/1"
  export CAPTURE_SOURCES
  echo "No camera found: the capture service shows a moving test pattern instead (see CAPTURE_SOURCES in README.md)."
fi
cd "$here"
# Frames are saved below the working directory, in images/, which the program does not create.
mkdir -p images
exec "$checkout/build/app/Video" "$@"
