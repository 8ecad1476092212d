#!/usr/bin/env bash
# A ThreadSanitizer host whose threads trace and exit, run against the
# library of this build (not instrumented) and against one built with
# -fsanitize=thread in its compiler flags: each run must end with status 0
# and without a sanitizer report.   run.sh <source dir> <build dir> <C++ compiler>
set -euo pipefail
src=$1 build=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cxx" -fsanitize=thread -g -O1 -I"$src/include" "$src/tests/tsan/host.cpp" \
  -o "$work/host" -L"$build" -lkovamem -lpthread

check() {
  local libdir=$1 what=$2
  for run in 1 2 3; do
    local rc=0
    (cd "$work" && LD_LIBRARY_PATH=$libdir TSAN_OPTIONS=halt_on_error=1 ./host) >"$work/out" 2>&1 || rc=$?
    if [ "$rc" != 0 ] || grep -q "ThreadSanitizer" "$work/out"; then
      cat "$work/out"; echo "FAILED: $what, run $run: status $rc"; exit 1
    fi
  done
  echo "-- $what: clean"
}

check "$build" "plain library"

cmake -S "$src" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_BENCH=OFF -DKOVAMEM_TESTS=OFF \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >"$work/lib.log" 2>&1 || { cat "$work/lib.log"; exit 1; }
cmake --build "$work/lib" --target kovamem -j"$(nproc)" >>"$work/lib.log" 2>&1 || { tail -30 "$work/lib.log"; exit 1; }
check "$work/lib" "library built with -fsanitize=thread"
