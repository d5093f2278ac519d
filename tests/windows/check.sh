#!/usr/bin/env bash
# The Windows build, checked from Linux with Debian's mingw-w64 cross compiler
# and wine (packages g++-mingw-w64-x86-64-posix and wine64, which
# scripts/deps-windows.sh installs):
#  1. every source compiles for Windows, warnings counting as errors (the
#     codec readers against this machine's codec headers alone);
#  2. no codec library is built for mingw here, so the sources that need none,
#     with a stand-in for the format readers they call (codec_stand_in.cpp),
#     link into a DLL whose export table must be exactly the functions of
#     include/zv_lumarin.h and zv_log, and into a static library that a
#     program links with the definitions the zv_lumarin_static target gives
#     its users;
#  3. under wine: dll_check.exe, against the DLL, checks the log's console
#     code page and text and writes the index and matches of the sample model
#     over tests/data/engine/sample.wav, which must equal the Linux build's
#     byte for byte; static_check.exe runs non-ASCII UTF-8 paths through the
#     file functions and checks a printout of the log in bare text.
# Without the cross compiler it says in one line that it was skipped and why,
# and succeeds; without wine it does steps 1 and 2 and says so of step 3.
# With ZV_WINDOWS_CHECK=required (as in CI, which installs the packages) a
# part it would skip fails it instead.
#
#   tests/windows/check.sh BUILD_DIR    (a normal build, configured and built)
#   JOBS=N compiles N sources at a time (default: the number of cores).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: tests/windows/check.sh BUILD_DIR}" && pwd)
jobs=${JOBS:-$(nproc)}
out=$build/windows
started=$(date +%s)

# skip WHAT WHY: says that WHAT was skipped and why, and ends the check;
# where the check is required that is a failure.
skip() {
  if [ "${ZV_WINDOWS_CHECK:-}" = required ]; then
    echo "windows check FAILED: $1 not run, as it must be here: $2"
    exit 1
  fi
  echo "$1 skipped: $2"
  exit 0
}

cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
tools=x86_64-w64-mingw32
if ! command -v "$cxx" >/dev/null 2>&1 || ! command -v "$cc" >/dev/null 2>&1; then
  skip "windows check" "no mingw-w64 cross compiler ($cxx; Debian package g++-mingw-w64-x86-64-posix)"
fi

# What the build tree knows: the sample model writer, the Linux side of the
# comparison and the static target's definitions for its users.
config=$out/check.cfg
if [ ! -f "$config" ]; then
  echo "windows check: $config is missing: configure $build with the tools and tests on"
  exit 1
fi
setting() { sed -n "s/^$1=//p" "$config"; }
sample_model=$(setting sample_model)
reference=$(setting reference)
static_defines=$(setting static_defines)
for program in "$sample_model" "$reference"; do
  [ -x "$program" ] || { echo "windows check: $program is not built (build $build first)"; exit 1; }
done

fail() {
  echo "windows check FAILED: $1"
  shift
  for f in "$@"; do
    [ -s "$f" ] || continue
    echo "--- $f"
    case $f in *.stdout | *.expected) cat -v "$f" ;; *) cat "$f" ;; esac
  done
  exit 1
}

# The codec headers alone, so that compiling the readers pulls in no Linux
# system header.
inc=$out/codec-include
rm -rf "$inc"
mkdir -p "$inc"
for h in ogg vorbis opus webm sndfile.h mpg123.h fmt123.h; do
  found=""
  for candidate in /usr/include/"$h" /usr/include/*/"$h"; do
    [ -e "$candidate" ] && { found=$candidate; break; }
  done
  [ -n "$found" ] || fail "the codec header $h is missing (scripts/deps.sh installs it)"
  ln -s "$found" "$inc/$h"
done

# 1. Compile. The flags file changes only when the compilers or definitions
# do, so that a rerun rebuilds only what changed.
printf '%s\n' "$cxx" "$cc" "$static_defines" "$inc" >"$out/flags.new"
cmp -s "$out/flags.new" "$out/flags" 2>/dev/null && rm "$out/flags.new" || mv "$out/flags.new" "$out/flags"
library_sources=$(cd "$root" && find src -name '*.cpp' -o -name '*.c' | LC_ALL=C sort)
check_sources="tests/windows/codec_stand_in.cpp tests/windows/dll_check.c tests/windows/static_check.cpp"
make -s -f "$root/tests/windows/objects.mk" -j "$jobs" ROOT="$root" OUT="$out" CXX="$cxx" CC="$cc" \
  CODEC_INCLUDE="$inc" STATIC_DEFINES="$static_defines" SOURCES="$library_sources $check_sources" \
  >"$out/compile.log" 2>&1 || fail "a source does not compile for Windows" "$out/compile.log"
compiled=$(date +%s)

# 2. Link. An object needs a codec library when it calls into one: libogg,
# libvorbis, libopus, libsndfile, libmpg123 (C prefixes) or libwebm (C++
# namespace webm).
library_objects=()
for source in $library_sources; do library_objects+=("$out/obj/$source.o"); done
codec_objects=$("$tools-nm" -A -u "${library_objects[@]}" |
  awk '$NF ~ /^(ogg|vorbis|opus|sf|mpg123)_|4webm/ {sub(/:.*/, "", $1); print $1}' | sort -u)
plain=()
for object in "${library_objects[@]}"; do
  grep -qxF "$object" <<<"$codec_objects" || plain+=("$object")
done
stand_in=$out/obj/tests/windows/codec_stand_in.cpp.o
# The programs run in run/, made anew each time.
rm -rf "$out/run"
mkdir -p "$out/run"
rm -f "$out/libzv_lumarin.dll.a" "$out/libzv_lumarin_static.a"
# The C++ and threading runtimes go in statically, kept out of the exports.
"$cxx" -shared -o "$out/run/zv_lumarin.dll" "${plain[@]}" "$stand_in" -static -Wl,--exclude-libs,ALL \
  -Wl,--out-implib,"$out/libzv_lumarin.dll.a" >"$out/link.log" 2>&1 ||
  fail "the DLL does not link (a source that needs no codec library calling a reader the stand-in lacks?)" \
    "$out/link.log"
# Exactly the public header's functions and the log.
declared=$(grep -v '#define' "$root/include/zv_lumarin.h" | grep -o 'ZV_API[^(]*(' |
  sed 's/.*[ *]\([a-z_0-9]*\)($/\1/' | sort -u)
expected_exports=$(printf '%s\nzv_log\n' "$declared" | LC_ALL=C sort)
exports=$("$tools-objdump" -p "$out/run/zv_lumarin.dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' | LC_ALL=C sort)
if [ "$exports" != "$expected_exports" ]; then
  diff <(echo "$expected_exports") <(echo "$exports") >"$out/exports.diff" || true
  fail "the DLL's export table is not the public header's functions and zv_log (< wanted, > exported)" \
    "$out/exports.diff"
fi
# The static library and a program of each kind.
"$tools-ar" rcs "$out/libzv_lumarin_static.a" "${plain[@]}" "$stand_in"
"$cc" -o "$out/run/dll_check.exe" "$out/obj/tests/windows/dll_check.c.o" "$out/libzv_lumarin.dll.a" -static \
  >"$out/link.log" 2>&1 || fail "a program does not link against the DLL" "$out/link.log"
"$cxx" -o "$out/run/static_check.exe" "$out/obj/tests/windows/static_check.cpp.o" "$out/libzv_lumarin_static.a" \
  -static >"$out/link.log" 2>&1 ||
  fail "a program does not link against the static library (defined: ${static_defines:-nothing})" "$out/link.log"
linked=$(date +%s)
summary="$(echo "$library_sources" | wc -w) sources compiled for Windows, the DLL of the ${#plain[@]} that need \
no codec library exporting $(echo "$exports" | wc -l) functions"

# 3. Run under wine.
wine=""
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  wine=$(command -v "$candidate" 2>/dev/null) && break
done
if [ -z "$wine" ]; then
  skip "windows check: $summary; wine part" "no wine (Debian package wine64)"
fi
if ! command -v script >/dev/null 2>&1; then
  skip "windows check: $summary; wine part" "no script(1) to give the programs a console"
fi
wineserver=""
for candidate in "$(dirname "$wine")/wineserver64" "$(dirname "$wine")/wineserver" wineserver64 wineserver; do
  wineserver=$(command -v "$candidate" 2>/dev/null) && break
done

run=$out/run
"$sample_model" "$out/sample_model.bin" >/dev/null
"$reference" "$out/sample_model.bin" "$root/tests/data/engine/sample.wav" "$out" >"$out/reference.log" 2>&1 ||
  fail "the Linux build does not index and search the sample" "$out/reference.log"
# Each phrase stores a 4-byte count and 12 bytes a match: the first phrase
# must match somewhere, or the comparison would say little.
[ "$(head -c 4 "$out/linux.matches" | od -An -tu4 | tr -d ' ')" -gt 0 ] ||
  fail "the sample model finds no match on the Linux build, nothing to compare"
cp "$out/sample_model.bin" "$run/mod$(printf '\303\250')le-$(printf '\346\250\241\345\236\213').bin"
cp "$out/sample.pcm" "$run/sample.pcm"

# A prefix of its own in the build tree; no display, no first-run dialogs
# (the .NET and browser engines are not installed), no desktop menus.
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
finish_wine() { [ -n "$wineserver" ] && "$wineserver" -w >/dev/null 2>&1 || true; }
trap finish_wine EXIT
# script(1) gives each program a pseudo-terminal, so that wine gives it a
# console whose code page can be set and read; its standard output and error
# go to files, so that they hold the bytes the program wrote.
run_under_wine() {
  local name=$1
  (cd "$run" && SHELL=/bin/bash timeout 300 script -qec \
    "$(printf '%q ' "$wine" "$name.exe") >$(printf '%q' "$out/$name.stdout") 2>$(printf '%q' "$out/$name.stderr")" \
    /dev/null) >"$out/$name.terminal" 2>&1 </dev/null
}
run_under_wine static_check || fail "static_check.exe under wine (exit $?)" "$out/static_check.stderr" "$out/static_check.terminal"
printf 'HELLO >>> [ 1 2 3 4 ] \r\nWORLD >>> [ 5 6 3 7 ] \r\n' >"$out/static_check.expected"
cmp -s "$out/static_check.expected" "$out/static_check.stdout" ||
  fail "the log's printout is not the bare text (expected, then printed)" "$out/static_check.expected" \
    "$out/static_check.stdout"
run_under_wine dll_check || fail "dll_check.exe under wine (exit $?)" "$out/dll_check.stderr" "$out/dll_check.terminal"
printf 'plain text\r\nUTF-8 \312\203 \305\213 \346\250\241\345\236\213 2\r\nno newline, continued\r\n' \
  >"$out/dll_check.expected"
cmp -s "$out/dll_check.expected" "$out/dll_check.stdout" ||
  fail "the log's text differs (expected, then printed)" "$out/dll_check.expected" "$out/dll_check.stdout"
for result in index matches; do
  cmp "$out/linux.$result" "$run/windows.$result" >"$out/compare.log" 2>&1 ||
    fail "the Windows build's $result differs from the Linux build's" "$out/compare.log"
done
finished=$(date +%s)
echo "windows check passed: $summary; under wine the file functions, the log, and an index and matches" \
  "equal to Linux's (compile $((compiled - started)) s with $jobs jobs, link $((linked - compiled)) s," \
  "wine $((finished - linked)) s)"
