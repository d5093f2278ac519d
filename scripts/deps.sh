#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (run as root), or the
# packages named as arguments (scripts/deps-windows.sh names its own).
set -eu
packages="build-essential cmake pkg-config googletest libgtest-dev libbenchmark-dev
  libogg-dev libvorbis-dev libopus-dev libsndfile1-dev libmpg123-dev libwebm-dev graphviz
  locales"
[ $# -eq 0 ] || packages="$*"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends $missing
fi
