#!/usr/bin/env bash
# The shared library exports exactly the public interface and needs nothing
# beyond libc, pthreads, the compiler runtime and, where it was found,
# libunwind.   abi_check.sh <lib> <nm> <readelf>
set -euo pipefail
lib=$1 nm=$2 readelf=$3
expected="KovaMemAlloc KovaMemAllocAligned KovaMemCalloc KovaMemGetPoolStats KovaMemGetStats KovaMemMark KovaMemPrintLiveSince
KovaMemResetPeaks KovaMemStatsJson KovaMemStatsPrometheus KovaMemStatsWriteFile KovaMemCleanMemBlocks KovaMemDebugModes KovaMemFree
KovaMemFlushReports KovaMemFreeNode KovaMemInit KovaMemIsInitialized KovaMemLogModules KovaMemPrintMemStatus KovaMemReAlloc
KovaMemResetFile KovaMemSetFileSize KovaMemSetFreeCheck KovaMemSetGuardedRecover KovaMemSetGuardedSampling KovaMemSetPoolGrowth KovaMemSetReportOptions KovaMemSetStackDepth KovaMemSetTraceSampling KovaMemUpdateLogStackFlag
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
echo "exports and dependencies as expected: $needed"
