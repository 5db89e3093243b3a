#!/bin/sh
# Measures what the live picture costs in CPU and how fast a grab returns (20 s a phase).
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target preview_cost >/dev/null
exec build/bench/preview_cost "${1:-20}"
