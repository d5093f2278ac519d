#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer. Any failure or sanitizer
# report fails the run.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)
bash tests/windows/check.sh build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZV_SANITIZE=ON -DZV_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 900)
