#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then builds and runs the C and
# C++ consumers against it, once through find_package and once through
# pkg-config.   run.sh <build dir> <C compiler> <C++ compiler>
set -euo pipefail
build=$1 cc=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/kovamem.h"
ls "$prefix"/lib*/libkovamem.so.1 >/dev/null
libdir=$(dirname "$(ls "$prefix"/lib*/libkovamem.so.1)")

echo "-- find_package"
cmake -S "$here" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cm" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cm/consumer_c"
LD_LIBRARY_PATH=$libdir "$work/cm/consumer_cpp"

echo "-- pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion kovamem)" = "1.0.0" ]
# shellcheck disable=SC2046
"$cc" -o "$work/pc_c" "$here/consumer.c" $(pkg-config --cflags --libs kovamem)
# shellcheck disable=SC2046
"$cxx" -o "$work/pc_cpp" "$here/consumer.cpp" $(pkg-config --cflags --libs kovamem)
LD_LIBRARY_PATH=$libdir "$work/pc_c"
LD_LIBRARY_PATH=$libdir "$work/pc_cpp"

# The installed analyser finds its package in the installed tree.
if [ -x "$prefix/bin/kovamem-analyze" ]; then
  echo "-- kovamem-analyze"
  (cd / && "$prefix/bin/kovamem-analyze" --schema | grep -q '"document"')
fi

# The installed runner finds the installed preload library.
if [ -x "$prefix/bin/kovamem-run" ]; then
  echo "-- kovamem-run"
  out=$(cd / && KOVAMEM_OPTIONS="log_kb=64" "$prefix/bin/kovamem-run" -- sh -c 'echo preloaded-$$')
  pid=${out#preloaded-}
  grep -q "Number of pools" "/tmp/memmgr-$pid.log"
  rm -f "/tmp/memmgr-$pid.log"
fi
