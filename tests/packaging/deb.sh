#!/usr/bin/env bash
# The Debian packages as a user meets them: built with CPack, checked by
# lintian (no error), installed with dpkg into this machine, used from the
# installed paths (a C and a C++ consumer through pkg-config and through
# find_package, kovamem-run's help and manual page, a preloaded program,
# the analyser on its log), then purged again, leaving nothing behind.
#   deb.sh <source dir> <scratch dir>
set -euo pipefail
src=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
packages=(libkovamem1 libkovamem-dev kovamem-tools)
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
for p in "${packages[@]}"; do
  if installed "$p"; then echo "FAILED: $p is installed already; remove it first"; exit 1; fi
done
cleanup() { dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; }
trap cleanup EXIT

echo "-- build and package"
cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF -DKOVAMEM_DEMO=OFF >"$work/build.log" 2>&1
cmake --build "$work/build" -j"$(nproc)" >>"$work/build.log" 2>&1
(cd "$work/build" && cpack -G DEB >>"$work/build.log" 2>&1)
debs=("$work"/build/libkovamem1_*.deb "$work"/build/libkovamem-dev_*.deb "$work"/build/kovamem-tools_*.deb)
for d in "${debs[@]}"; do [ -f "$d" ] || { echo "FAILED: no $d"; exit 1; }; done
dpkg-deb -f "$work"/build/libkovamem1_*.deb Depends | grep -q 'libc6'
dpkg-deb -f "$work"/build/libkovamem-dev_*.deb Depends | grep -q 'libkovamem1 (= 1.0.0)'
dpkg-deb -I "$work"/build/libkovamem1_*.deb shlibs | grep -q '^libkovamem 1 libkovamem1'

if command -v lintian >/dev/null; then
  echo "-- lintian"
  lintian "${debs[@]}" 2>/dev/null | tee "$work/lintian.txt" || true
  if grep -q '^E:' "$work/lintian.txt"; then echo "FAILED: lintian errors"; exit 1; fi
fi

echo "-- install"
dpkg -i "${debs[@]}" >/dev/null
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
lib=/usr/lib/$multiarch
[ "$(readlink "$lib/libkovamem.so.1")" = libkovamem.so.1.0.0 ]
[ "$(readlink "$lib/libkovamem.so")" = libkovamem.so.1 ]
readelf -d "$lib/libkovamem.so.1.0.0" | grep -q 'SONAME.*libkovamem.so.1'

echo "-- consumers from the installed package"
here=$(cd "$(dirname "$0")/../consumer" && pwd)
cmake -S "$here" -B "$work/cm" >/dev/null
cmake --build "$work/cm" >/dev/null
"$work/cm/consumer_c"
"$work/cm/consumer_cpp"
[ "$(pkg-config --modversion kovamem)" = 1.0.0 ]
# shellcheck disable=SC2046
cc -o "$work/pc_c" "$here/consumer.c" $(pkg-config --cflags --libs kovamem)
"$work/pc_c"

echo "-- the tools from the installed paths"
[ "$(command -v kovamem-run)" = /usr/bin/kovamem-run ]
kovamem-run --help | grep -q 'kovamem-run \[options\] -- PROGRAM'
zcat /usr/share/man/man1/kovamem-run.1.gz | grep -q '^\.SH OPTIONS'
zcat /usr/share/man/man1/kovamem-analyze.1.gz | grep -q '^\.SH EXIT STATUS'
if command -v man >/dev/null; then
  MANPAGER=cat man kovamem-analyze 2>/dev/null | grep -q 'answers from a KovaMem log'
fi
out=$(cd / && kovamem-run -- sh -c 'echo preloaded-$$')
pid=${out#preloaded-}
log=/tmp/memmgr-$pid.log
grep -q "INFO: kovamem-preload: process $pid parent" "$log"
status=0
kovamem-analyze "$log" >"$work/analysis.txt" || status=$?
rm -f "$log"
[ "$status" -le 1 ] || { cat "$work/analysis.txt"; echo "FAILED: kovamem-analyze exit $status"; exit 1; }
grep -q '^Reports' "$work/analysis.txt"

echo "-- remove"
dpkg -P "${packages[@]}" >/dev/null
for p in "${packages[@]}"; do
  if dpkg-query -W "$p" >/dev/null 2>&1; then echo "FAILED: $p still known to dpkg after its purge"; exit 1; fi
done
for f in "$lib/libkovamem.so.1" /usr/include/kovamem.h /usr/bin/kovamem-run /usr/share/kovamem; do
  [ ! -e "$f" ] || { echo "FAILED: $f left after removal"; exit 1; }
done
trap - EXIT
echo "packages built, installed, used and removed"
