#!/usr/bin/env bash
# Counts the MIPS instructions of one SYS_StackTrace at depth 10 through a
# chain of 13 frames, after two captures through the same frames (so every
# frame is in the frame cache), and of the first capture (empty cache; the
# code mappings were learned when the library was loaded). qemu-mips runs
# the host one instruction per block (-singlestep) and logs every block
# executed (-d exec).
#   bench/mips/count.sh [mips build dir, default build-mips-bench]
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build-mips-bench}
if [ ! -f "$dir/libkovamem.so.1" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF -DKOVAMEM_DEMO=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mips-linux-gnu.cmake" >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target kovamem >/dev/null
fi
dir=$(cd "$dir" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mips-linux-gnu-gcc -O2 -fPIC -Iinclude bench/mips/capture_count.c -o "$work/count" -L"$dir" -lkovamem -Wl,-rpath,"$dir"
qemu-mips -L /usr/mips-linux-gnu -singlestep -d exec,nochain -D "$work/exec.log" "$work/count"
stub=$(mips-linux-gnu-nm -D "$dir/libkovamem.so.1" | awk '$3 == "SYS_StackTrace" {print $1}')
python3 - "$work/exec.log" "$stub" <<'PY'
import re, sys
log, stub = sys.argv[1], int(sys.argv[2], 16)
pcs, marks = [], []
for line in open(log):
    m = re.search(r"\[[0-9a-f]+/([0-9a-f]+)/", line)
    if not m:
        continue
    if "markBegin" in line or "markEnd" in line:
        marks.append((len(pcs), "B" if "markBegin" in line else "E"))
    pcs.append(int(m.group(1), 16))
# Each marker function executes two instructions; take the first of each.
begins = [i for i, k in marks if k == "B"][::2]
ends = [i for i, k in marks if k == "E"][::2]
def count(b, e):
    seg = pcs[b:e]
    lib = [i for i, p in enumerate(seg) if (p - stub) & 0xFFF == 0 and p >= 0x10000000 and p < 0x40000000]
    start = lib[0]
    end = max(i for i, p in enumerate(seg) if p < 0x40000000)
    return end - start + 1
print("first capture (frames resolved by their scans): %d instructions" % count(begins[0], ends[0]))
print("third capture (frames from the cache):          %d instructions" % count(begins[2], ends[2]))
PY
