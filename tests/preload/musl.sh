#!/usr/bin/env bash
# The preload library built against musl (the library's own sources with
# musl's headers, linked by musl-gcc; no C++ runtime is needed) and a C
# program of musl, with and without it: the same output, and a report at
# exit in its log.   musl.sh <source dir>
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
include=$(dirname "$(musl-gcc -print-file-name=include/stdlib.h 2>/dev/null)")
[ -f "$include/stdlib.h" ] || include=/usr/include/$(uname -m)-linux-musl
for f in "$src"/src/core/*.cpp "$src"/src/diag/*.cpp "$src"/src/diag/prim/codemap.cpp \
         "$src"/src/diag/prim/stack_unwind.cpp "$src"/src/diag/prim/faultctx.cpp "$src"/src/diag/prim/membarrier.cpp "$src"/src/preload/*.cpp; do
  g++ -std=c++17 -O2 -fPIC -fno-exceptions -fno-rtti -fno-threadsafe-statics -funwind-tables -fvisibility=hidden \
    -Wall -Wextra -Werror -nostdinc -isystem "$include" -isystem "$(gcc -print-file-name=include)" \
    -I"$src/include" -I"$src/src" -c "$f" -o "$work/$(basename "$f").o"
done
musl-gcc -shared -nodefaultlibs -o "$work/libkovamem-preload.so" "$work"/*.o -lc -lgcc
musl-gcc -O1 -o "$work/cprog" "$src/tests/preload/cprog.c"
"$work/cprog" > "$work/plain.txt"
sh -c 'echo $$ > "$1/pid"; exec env LD_PRELOAD="$1/libkovamem-preload.so" "$1/cprog"' _ "$work" > "$work/pooled.txt"
cmp "$work/plain.txt" "$work/pooled.txt"
log=/tmp/memmgr-$(cat "$work/pid").log
grep -q "Memory Manager Status -> End" "$log"
grep "MEM Count" "$log"
rm -f "$log"
echo "musl: the preload library serves the C program"
