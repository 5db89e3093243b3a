#!/bin/sh
# Measures the headless mode's CPU share and peak memory over 60 s (a still and a moving
# 640 x 480 scene, 10 evaluations a second), and the start-up to the first headless
# evaluation and to the first window over 10 starts (the window on Xvfb).
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Video everyday_cost >/dev/null
build/bench/everyday_cost build/app/Video cost "${1:-60}"
xvfb-run -a build/bench/everyday_cost build/app/Video startup "${2:-10}"
