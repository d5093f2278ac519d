#!/usr/bin/env bash
# Installs the Debian packages of the Windows check (tests/windows/check.sh):
# the mingw-w64 cross compiler and wine (run as root). The main job and the
# rest of the test suite don't need them.
set -eu
packages="g++-mingw-w64-x86-64-posix wine64"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends $missing
fi
