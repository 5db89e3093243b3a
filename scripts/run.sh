#!/bin/sh
# Builds the program and starts it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
echo "The program itself is not built yet; the analysis library and its tests are."
