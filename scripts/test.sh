#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (build/), then
# one under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/);
# between the two, the Windows check (tests/windows/check.sh). Any failure or
# sanitizer report fails the run.
#
# The screen keeps what needs reading: each step, every failing test with its
# output, and the summaries. Build progress and the passing tests go to
# build/test.log and build-asan/test.log.
#
#   JOBS=4 bash scripts/test.sh     # parallel jobs (default: every core)
#   ZV_WINDOWS_CHECK=required ...   # a skipped part of the Windows check fails
#                                   # the run (CI, which installs its packages)
set -eu -o pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

# Drops ctest's progress lines for tests that started or passed; failures
# (with their output, from --output-on-failure) and the summary stay.
failures_and_summary() {
  grep --line-buffered -v -E '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed +[0-9.]+ sec$' || true
}

# suite NAME DIR TIMEOUT CMAKE_ARGS...
suite() {
  local name=$1 dir=$2 timeout=$3
  shift 3
  local log=$dir/test.log
  mkdir -p "$dir"
  : >"$log"
  echo "== $name: configuring and building in $dir/ (log: $log)"
  if ! { cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j "$jobs"; } >>"$log" 2>&1; then
    echo "build failed; the first errors:"
    grep -E -m 20 -A 3 'error|Error' "$log" || tail -n 30 "$log"
    echo "(whole log: $log)"
    return 1
  fi
  echo "== $name: running the tests"
  local status=0
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout "$timeout") 2>&1 | tee -a "$log" |
    failures_and_summary || status=1
  return $status
}

status=0
suite "normal build" build 600 -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
# The Windows build, from the normal build's tree: cross-compiled, and run
# under wine where those packages are installed (it says so where not).
echo "== Windows check"
JOBS=$jobs bash tests/windows/check.sh build || status=1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
suite "sanitizer build" build-asan 900 -DCMAKE_BUILD_TYPE=Debug -DZV_SANITIZE=ON -DZV_BUILD_BENCH=OFF || status=1

if [ $status -eq 0 ]; then
  echo "== all tests passed in both builds"
else
  echo "== some tests failed (see above and the logs)"
fi
exit $status
