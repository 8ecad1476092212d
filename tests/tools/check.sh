#!/usr/bin/env bash
# Runs each case of the fault program under one memory checker and checks
# the report: its kind, the function that made the fault, and that nothing
# else was reported.   check.sh valgrind|asan <faults binary>
set -uo pipefail
mode=$1 bin=$2
supp="$(cd "$(dirname "$0")" && pwd)/valgrind.supp"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failed=0 passed=0

# expect <case> <pattern>...: every pattern (extended regex) in the report
expect() {
  local c=$1; shift
  if [ "$mode" = valgrind ]; then
    valgrind --quiet --suppressions="$supp" --error-exitcode=0 --leak-check=no "$bin" "$c" >/dev/null 2>"$out"
  else
    ASAN_OPTIONS=detect_leaks=0:symbolize=1 "$bin" "$c" >/dev/null 2>"$out"
  fi
  local p ok=1
  for p in "$@"; do
    grep -Eq -- "$p" "$out" || { echo "FAIL $mode $c: no match for: $p"; ok=0; }
  done
  if [ $ok = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); sed 's/^/    /' "$out" | head -40; fi
}
# reports <n>: the number of reports in the last run's output
reports() {
  if [ "$mode" = valgrind ]; then grep -Ec '^==[0-9]+== (Invalid|Conditional|Use of|Syscall)' "$out"
  else grep -c 'ERROR: AddressSanitizer' "$out"; fi
}
one() { [ "$(reports)" = "$1" ] || { echo "FAIL $mode: $(reports) reports, want $1"; failed=$((failed + 1)); }; }

if [ "$mode" = valgrind ]; then
  expect overrun 'Invalid write of size 1' 'at .*: faultOverrun' '0 bytes after a block of size 10 alloc.d' '(at|by) .*: KovaMemAlloc'; one 1
  expect read-after-release 'Invalid read of size 1' 'at .*: faultReadAfterRelease' '0 bytes inside a block of size 10 free.d' '(at|by) .*: KovaMemFree'; one 1
  expect second-release 'Invalid free\(\)' 'by .*: faultSecondRelease' '0 bytes inside a block of size 10 free.d'; one 1
  expect read-before-write 'Conditional jump or move depends on uninitialised value' 'at .*: faultReadBeforeWrite'; one 1
  expect read-old-after-move 'Invalid read of size 1' 'at .*: faultReadOldAfterMove' 'inside a block of size 10 free.d' '(at|by) .*: KovaMemReAlloc'; one 1
  expect clean; one 0
  # The leak check counts the live pool block the host dropped, with the
  # stack that allocated it (still reachable: its header names it).
  valgrind --quiet --suppressions="$supp" --leak-check=full --show-leak-kinds=all "$bin" leak >/dev/null 2>"$out"
  if grep -Eq '24 bytes in 1 blocks are (still reachable|definitely lost)' "$out" && grep -q 'faultLeak' "$out"; then
    passed=$((passed + 1))
  else
    echo "FAIL valgrind leak: the dropped pool block is not reported"; sed 's/^/    /' "$out" | head -30; failed=$((failed + 1))
  fi
else
  expect overrun 'AddressSanitizer: use-after-poison' 'WRITE of size 1' '#0 .* in faultOverrun'; one 1
  expect read-after-release 'AddressSanitizer: use-after-poison' 'READ of size 1' '#0 .* in faultReadAfterRelease'; one 1
  expect second-release 'ERROR: AddressSanitizer' 'in KovaMemFree' 'in faultSecondRelease'; one 1
  expect read-old-after-move 'AddressSanitizer: use-after-poison' 'READ of size 1' '#0 .* in faultReadOldAfterMove'; one 1
  # Reads of bytes never written are not ASan's to see (MemorySanitizer's).
  expect read-before-write; one 0
  expect clean; one 0
fi
echo "$mode: $passed passed, $failed failed"
[ $failed = 0 ]
