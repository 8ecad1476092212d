#!/usr/bin/env bash
# Builds the default build without libunwind (benchmarks on) and runs the
# tests of the walk and the preload library in it; then builds and runs the
# whole suite of the default build in six configurations (native Release,
# ASan+UBSan, TSan, 32-bit big-endian MIPS under qemu, aarch64 under qemu,
# clang with ASan+UBSan and libFuzzer), then of the classic build natively
# and on MIPS. Installs what it needs when missing. Stops at the first
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

need=()
command -v cmake >/dev/null || need+=(cmake)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v mips-linux-gnu-g++ >/dev/null || need+=(g++-mips-linux-gnu)
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-mips >/dev/null || need+=(qemu-user)
command -v pkg-config >/dev/null || need+=(pkgconf)
command -v python3 >/dev/null || need+=(python3)
command -v sqlite3 >/dev/null || need+=(sqlite3)  # a real program on the preload library
command -v musl-gcc >/dev/null || need+=(musl-tools)  # the preload library against musl
[ -f /usr/include/x86_64-linux-gnu/libunwind.h ] || [ "$(uname -m)" != x86_64 ] || need+=(libunwind-dev)
command -v clang++ >/dev/null || need+=(clang)
command -v chromium >/dev/null || need+=(chromium)  # the analyser's page, loaded in a real browser
command -v go >/dev/null || need+=(golang-go)       # go tool pprof reads the analyser's profiles
command -v prometheus-node-exporter >/dev/null || need+=(prometheus-node-exporter)  # scrapes the metrics files
command -v promtool >/dev/null || need+=(prometheus)  # promtool checks them
command -v lintian >/dev/null || need+=(lintian)  # checks the Debian packages
command -v debuginfod >/dev/null || need+=(debuginfod)  # serves the fleet test's debug files by build-id
command -v ip >/dev/null || need+=(iproute2)  # the fleet test's network namespace brings its loopback up
command -v rsyslogd >/dev/null || need+=(rsyslog)  # receives fault records over UDP, TCP and /dev/log
[ -x /lib/systemd/systemd-journald ] && command -v journalctl >/dev/null || need+=(systemd)  # the journal's native protocol
dpkg -s python3 >/dev/null 2>&1 || need+=(python3)  # kovamem-tools depends on Debian's python3
command -v valgrind >/dev/null || need+=(valgrind)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

run() {
  local name=$1; shift
  local dir="$root/build-test/$name"
  echo "== $name: configure and build"
  cmake -S "$root" -B "$dir" -DKOVAMEM_BENCH=OFF "$@" >"$dir.log" 2>&1 ||
    { cat "$dir.log"; echo "FAILED: $name configure"; exit 1; }
  cmake --build "$dir" -j"$jobs" >>"$dir.log" 2>&1 ||
    { tail -50 "$dir.log"; echo "FAILED: $name build"; exit 1; }
  echo "== $name: test"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600) ||
    { echo "FAILED: $name tests"; exit 1; }
}

# Every optional dependency stays optional: the plain build with libunwind
# switched off builds with the benchmarks on, and runs the tests of what
# libunwind would serve (the walk, module maps, fork, the preload library,
# the analyser). A header that fails when included stands in for
# libunwind's, and nothing built may link it, as on a machine without it.
without_libunwind() {
  local name=$1; shift
  local dir="$root/build-test/$name"
  echo "== $name: configure and build"
  { cmake -S "$root" -B "$dir" "$@" && cmake --build "$dir" -j"$jobs"; } >"$dir.log" 2>&1 ||
    { tail -50 "$dir.log"; echo "FAILED: $name build"; exit 1; }
  [ -x "$dir/bench/kovamem_bench" ] || { echo "FAILED: $name built no benchmark"; exit 1; }
  if readelf -d "$dir/bench/kovamem_bench" "$dir"/libkovamem.so "$dir"/libkovamem-preload.so | grep -q "NEEDED.*libunwind"; then
    echo "FAILED: $name links libunwind"; exit 1
  fi
  echo "== $name: test (walk, modules, fork, preload, analyser)"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 -R 'SysStackTrace|^O0\.|ModuleMap|Fork\.|Preload\.|Analyze\.|Tsan\.') ||
    { echo "FAILED: $name tests"; exit 1; }
}

mkdir -p "$root/build-test"
without_libunwind no-libunwind -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_LIBUNWIND=OFF \
  -DCMAKE_CXX_FLAGS="-I$root/scripts/no-libunwind" -DCMAKE_C_FLAGS="-I$root/scripts/no-libunwind"
run native -DCMAKE_BUILD_TYPE=Release
# The Debian packages: built, checked, installed into this machine, used
# and removed.
echo "== packages: build, lintian, install, use, remove"
bash "$root/tests/packaging/deb.sh" "$root" "$root/build-test/packages" || { echo "FAILED: packages"; exit 1; }
echo "== embedded recipes: staged MIPS installs as Buildroot, OpenWrt and Yocto make them"
bash "$root/tests/packaging/staged.sh" "$root" "$root/build-test/staged" || { echo "FAILED: staged installs"; exit 1; }
run asan -DCMAKE_BUILD_TYPE=Debug -DKOVAMEM_SANITIZE=address
run tsan -DCMAKE_BUILD_TYPE=Debug -DKOVAMEM_SANITIZE=thread
run mips -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mips-linux-gnu.cmake"
run aarch64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
# clang with ASan+UBSan: the suite once more, and libFuzzer on the debug
# command texts for a bounded time.
CC=clang CXX=clang++ run clang-asan -DCMAKE_BUILD_TYPE=Debug -DKOVAMEM_SANITIZE=address
run classic -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_CLASSIC=ON
run classic-mips -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_CLASSIC=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mips-linux-gnu.cmake"
echo "== all eight configurations passed, and the build without libunwind"
