#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs the main job.
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash scripts/deps.sh; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j "$(nproc)")
