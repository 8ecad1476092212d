#!/usr/bin/env bash
# The shared library exports exactly the public interface and needs nothing
# beyond libc, pthreads, the compiler runtime and, where it was found,
# libunwind; neither it nor the preload library needs libatomic.
#   abi_check.sh <lib> <nm> <readelf> [<preload lib>]
set -euo pipefail
lib=$1 nm=$2 readelf=$3
expected="KovaMemAlloc KovaMemAllocAligned KovaMemCalloc KovaMemGetPoolStats KovaMemGetStats KovaMemMark KovaMemPrintLiveSince
KovaMemResetPeaks KovaMemStatsJson KovaMemStatsPrometheus KovaMemStatsWriteFile KovaMemCleanMemBlocks KovaMemDebugModes KovaMemFree
KovaMemFlushReports KovaMemFreeNode KovaMemInit KovaMemIsInitialized KovaMemLogModules KovaMemPrintMemStatus KovaMemReAlloc
KovaMemResetFile KovaMemSetFileSize KovaMemSetFreeCheck KovaMemSetGuardedRecover KovaMemSetGuardedSampling KovaMemSetPoolGrowth KovaMemSetReportOptions KovaMemSetReuseDistance KovaMemSetStackDepth KovaMemSetTraceSampling KovaMemUpdateLogStackFlag
SYS_StackTrace gStackDepth memMgrDetails memMgrInit memPoolData printStackDetails"
actual=$("$nm" -D --defined-only "$lib" | awk 'NF == 3 && $2 != "A" {print $3}' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
if [ "$actual" != "$want" ]; then
  echo "exported: $actual"; echo "expected: $want"; exit 1
fi
needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
for n in $needed; do
  case $n in
    libc.so.*|libpthread.so.*|libgcc_s.so.*|libunwind.so.8) ;;
    *) echo "unexpected dependency: $n (all: $needed)"; exit 1 ;;
  esac
done
# Atomics wider than the target's word come from libatomic, which the
# library does not link: on 32-bit MIPS such a call fails when it is first
# made (a symbol lookup error), in whichever library holds it.
for l in "$lib" ${4:+"$4"}; do
  [ -f "$l" ] || continue
  wide=$("$nm" -D --undefined-only "$l" | awk '$2 ~ /^__atomic_/ {print $2}' | tr '\n' ' ')
  [ -z "$wide" ] || { echo "$l needs libatomic: $wide"; exit 1; }
done
echo "exports and dependencies as expected: $needed"
