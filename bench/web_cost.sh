#!/bin/sh
# What the web page costs: the headless program's CPU with --http and nobody connected
# against without it, one viewer of the live MJPEG stream at 640 x 480, and the Events
# page and its JSON API with 10,000 events in the log (see bench/web_cost.py).
#   bench/web_cost.sh [SECONDS] [RUNS]      (20 s a case, 3 runs by default)
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Video >/dev/null
exec /usr/bin/python3 bench/web_cost.py "$PWD/build/app/Video" bench/web_page_time.mjs "${1:-20}" "${2:-3}"
