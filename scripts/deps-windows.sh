#!/usr/bin/env bash
# Installs the Debian packages of the Windows check (tests/windows/check.sh):
# the mingw-w64 cross compiler and wine (run as root). The main job and the
# rest of the test suite don't need them.
set -eu
exec bash "$(dirname "$0")/deps.sh" g++-mingw-w64-x86-64-posix wine64
