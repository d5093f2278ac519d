#!/usr/bin/env bash
# The Windows check may be skipped on a developer's machine, never in CI:
#  - tests/windows/check.sh without the cross compiler says it was skipped and
#    succeeds, but fails with ZV_WINDOWS_CHECK=required;
#  - .ci/run stops when the check's packages can't be installed, and otherwise
#    runs the test command with the check required.
# Runs copies of the scripts against stand-ins for the package installer and
# the test command; nothing is installed or built.
set -eu
# CI runs the tests with the check required; each case below sets it itself.
unset ZV_WINDOWS_CHECK
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() {  # description, then the condition as a command
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}

# A PATH with what check.sh needs before it looks for the compiler, and no
# cross compiler.
mkdir -p "$work/bin" "$work/build"
for tool in dirname nproc date; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
bash_path=$(command -v bash)
status=0
out=$(PATH=$work/bin "$bash_path" "$root/tests/windows/check.sh" "$work/build" 2>&1) || status=$?
expect "without the cross compiler the check says it was skipped ($out)" \
  test "$status" = 0 -a "${out#windows check skipped: no mingw-w64}" != "$out"
status=0
out=$(PATH=$work/bin ZV_WINDOWS_CHECK=required "$bash_path" "$root/tests/windows/check.sh" "$work/build" 2>&1) ||
  status=$?
expect "where it is required a skip fails ($out)" test "$status" = 1 -a "${out#windows check FAILED}" != "$out"

# .ci/run over stand-ins: deps.sh fails when asked for the Windows packages
# (it is given them as arguments) if $work/fail_windows exists; test.sh notes
# that it ran and what it was told.
ci=$work/ci
mkdir -p "$ci/.ci" "$ci/scripts"
cp "$root/.ci/run" "$ci/.ci/run"
cp "$root/scripts/deps-windows.sh" "$ci/scripts/deps-windows.sh"
cat >"$ci/scripts/deps.sh" <<STUB
#!/usr/bin/env bash
[ \$# -gt 0 ] && [ -e "$work/fail_windows" ] && { echo "E: Unable to locate package \$1"; exit 100; }
exit 0
STUB
cat >"$ci/scripts/test.sh" <<STUB
#!/usr/bin/env bash
echo "ZV_WINDOWS_CHECK=\${ZV_WINDOWS_CHECK:-}" >"$work/test_ran"
STUB

touch "$work/fail_windows"
status=0
bash "$ci/.ci/run" >"$work/ci.log" 2>&1 || status=$?
expect "a failed install of the Windows packages fails CI (exit $status)" test "$status" != 0
expect "and the tests don't run after it" test ! -e "$work/test_ran"

rm -f "$work/fail_windows"
status=0
bash "$ci/.ci/run" >"$work/ci.log" 2>&1 || status=$?
expect "with the packages installed CI runs the tests (exit $status)" test "$status" = 0 -a -e "$work/test_ran"
expect "with the Windows check required" grep -qx "ZV_WINDOWS_CHECK=required" "$work/test_ran"
exit $failed
