#!/bin/sh
# Measures what watching for events costs in CPU (20 s a size) and how long an event's
# records take on the GUI thread.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target event_cost >/dev/null
exec build/bench/event_cost "${1:-20}"
