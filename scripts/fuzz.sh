#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each named target (all by default) for
# the given number of seconds, starting from its committed corpus. New inputs
# go to build-fuzz/corpus/<target> (not committed); crashes, leaks and
# timeouts are written to build-fuzz/findings/<target>/. Copy a reproducer,
# once mended, into fuzz/corpus/<target>/ so that CTest replays it.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#   JOBS=3 scripts/fuzz.sh 600      # three targets at a time
set -eu
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${JOBS:-1}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_FUZZ=ON \
  -DZV_BUILD_TESTS=OFF -DZV_BUILD_BENCH=OFF -DZV_BUILD_TOOLS=OFF >/dev/null
if [ $# -eq 0 ]; then
  set -- $(ls fuzz/corpus)
fi
targets=""
for t in "$@"; do targets="$targets ${t}_fuzz"; done
cmake --build "$build" -j "${BUILD_JOBS:-3}" --target $targets >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
run() {
  local t=$1
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/findings/$t/" \
    "$build/corpus/$t" "fuzz/corpus/$t" >"$build/findings/$t.log" 2>&1 && status=0 || status=$?
  echo "$t: exit $status ($(grep -E '^stat::number_of_executed_units' "$build/findings/$t.log" | awk '{print $2}') executions," \
    "$(ls "$build/findings/$t" | wc -l) findings)"
}
running=0
for t in "$@"; do
  run "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
