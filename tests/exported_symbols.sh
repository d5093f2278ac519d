#!/usr/bin/env bash
# The shared library must export exactly the functions of the public header:
# no internal zv_ symbol, nothing of the libraries it links against.
set -eu
lib=$1 map=$2 header=$3
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRWVi]$/ {print $3}' | sed 's/@.*//' | sort -u)
listed=$(sed -n 's/^ *\([a-z_0-9]*\);$/\1/p' "$map" | sort -u)
declared=$(grep -v '#define' "$header" | grep -o 'ZV_API[^(]*(' | sed 's/.*[ *]\([a-z_0-9]*\)($/\1/' | sort -u)
status=0
if [ "$listed" != "$declared" ]; then
  echo "export list and public header differ:"; diff <(echo "$listed") <(echo "$declared") || true; status=1
fi
if [ "$exported" != "$declared" ]; then
  echo "exported symbols and public header differ:"; diff <(echo "$exported") <(echo "$declared") || true; status=1
fi
[ $status -eq 0 ] && echo "exports: $(echo "$exported" | wc -l) symbols, all public"
exit $status
