#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs the
# consumer program against it three ways: pkg-config, find_package and
# add_subdirectory. Arguments: build dir, source dir, make_sample_model,
# sanitizer flags ("" for none).
set -eu
build=$1 source=$2 make_model=$3 sanitize=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
export CFLAGS="$sanitize" CXXFLAGS="$sanitize" LDFLAGS="$sanitize"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/zv_lumarin.h lib/libzv_lumarin.so lib/libzv_lumarin.so.1 lib/libzv_lumarin.so.1.1.0 \
         lib/pkgconfig/zv_lumarin.pc lib/cmake/zv_lumarin/zv_lumarinConfig.cmake bin/lumarin_demo; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# Only the public interface: no static library, no internal header.
if find "$prefix" -name '*.a' -o -name '*.h' ! -name zv_lumarin.h | grep .; then
  echo "installed beyond the public interface"; exit 1
fi
# The one program is the demonstration (the README says how to get a model
# for it: make_sample_model stays in the build tree).
[ "$(ls "$prefix/bin")" = lumarin_demo ] || { echo "bin/ holds more than lumarin_demo:" $(ls "$prefix/bin"); exit 1; }
[ "$(readlink "$prefix/lib/libzv_lumarin.so")" = libzv_lumarin.so.1 ]
objdump -p "$prefix/lib/libzv_lumarin.so.1.1.0" | grep -q 'SONAME *libzv_lumarin.so.1$'

"$make_model" "$work/model.bin" >/dev/null
expect="zv_lumarin 1.1.0: 4960 index bytes,"

check() {  # name, program
  out=$("$2" "$work/model.bin")
  case $out in
    "$expect"*) echo "$1: $out" ;;
    *) echo "$1 printed: $out"; exit 1 ;;
  esac
}

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc $CFLAGS -o "$work/pc_consumer" "$source/tests/install/consumer.c" $(pkg-config --cflags --libs zv_lumarin) \
  -Wl,-rpath,"$prefix/lib" -lm $LDFLAGS
check pkg-config "$work/pc_consumer"

# find_package
cmake -S "$source/tests/install/find_package" -B "$work/fp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$prefix/lib" >"$work/fp.log"
cmake --build "$work/fp" >>"$work/fp.log"
check find_package "$work/fp/consumer"

# add_subdirectory
cmake -S "$source/tests/install/add_subdirectory" -B "$work/as" -DZV_SOURCE_DIR="$source" >"$work/as.log"
cmake --build "$work/as" -j 4 >>"$work/as.log" 2>&1 || { cat "$work/as.log"; exit 1; }
check add_subdirectory "$work/as/consumer"
