#!/usr/bin/env bash
# Guarded sampling's cost and footprint (guarded_cost.c), on this host and
# on 32-bit MIPS under qemu.
#   bench/mips/guarded.sh [pairs, default 2000000]
set -euo pipefail
cd "$(dirname "$0")/../.."
pairs=${1:-2000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in host mips; do
  if [ $target = host ]; then tc=(); cc=gcc; run=(); else
    tc=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mips-linux-gnu.cmake"); cc=mips-linux-gnu-gcc
    run=(qemu-mips -L /usr/mips-linux-gnu); fi
  cmake -S . -B "$work/$target" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF -DKOVAMEM_DEMO=OFF \
    "${tc[@]}" >/dev/null
  cmake --build "$work/$target" -j"$(nproc)" --target kovamem >/dev/null
  $cc -O2 -Iinclude bench/mips/guarded_cost.c -o "$work/cost-$target" -L"$work/$target" -lkovamem \
    -Wl,-rpath,"$work/$target"
  echo "$target:"
  (cd "$work" && "${run[@]}" "$work/cost-$target" "$pairs")
done
