#!/usr/bin/env bash
# Builds the library and the demo host (Release) and runs the demo with its
# embedded default configuration; arguments go to the demo (try --help).
# Installs the compiler and CMake when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)  # the analysis that ends the demo
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF >build-demo.log 2>&1 &&
  cmake --build build-demo -j"$(nproc)" --target kovamem-demo >>build-demo.log 2>&1 ||
  { cat build-demo.log >&2; echo "demo build failed" >&2; exit 1; }
exec build-demo/examples/kovamem-demo "$@"
