#!/usr/bin/env bash
# What the embedded recipes ask of CMake, done here for the 32-bit
# big-endian MIPS target: Buildroot's cmake-package, OpenWrt's cmake.mk
# (CMAKE_INSTALL:=1) and Yocto's cmake class each configure with the
# toolchain file, prefix /usr and libdir lib, build, and install into a
# staging DESTDIR. The staged tree is then checked: its files, the SONAME
# links, a MIPS ELF, the pkg-config file found through
# PKG_CONFIG_SYSROOT_DIR, no path of this machine's build baked into any
# text file, and a consumer built against it that runs under qemu.
# Yocto's run-ptest runs against a native staged tree. The recipes must
# ask for the options used here (checked first).
#   staged.sh <source dir> <scratch dir>
set -euo pipefail
src=$(cd "$1" && pwd) work=$2
rm -rf "$work" && mkdir -p "$work"
recipes=$src/packaging
common=(-DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=OFF -DKOVAMEM_DEMO=OFF -DKOVAMEM_VALGRIND=OFF)
declare -A recipe=([buildroot]=$recipes/buildroot/kovamem/kovamem.mk [openwrt]=$recipes/openwrt/kovamem/Makefile
  [yocto]=$recipes/yocto/recipes-devtools/kovamem/kovamem_1.0.0.bb)

for sys in buildroot openwrt yocto; do
  for opt in "${common[@]}" -DKOVAMEM_LIBUNWIND=OFF; do
    grep -q -- "$opt" "${recipe[$sys]}" || { echo "FAILED: $sys recipe does not ask for $opt"; exit 1; }
  done
done
grep -q '^\$(eval \$(cmake-package))' "${recipe[buildroot]}"
grep -q '^CMAKE_INSTALL:=1' "${recipe[openwrt]}"
grep -q '^include \$(INCLUDE_DIR)/cmake.mk' "${recipe[openwrt]}"
grep -q '^inherit cmake pkgconfig ptest' "${recipe[yocto]}"
grep -Eq '^sha256  [0-9a-f]{64}  kovamem-1\.0\.0\.tar\.gz$' "$recipes/buildroot/kovamem/kovamem.hash"
for c in BR2_INSTALL_LIBSTDCPP BR2_TOOLCHAIN_HAS_THREADS '!BR2_STATIC_LIBS'; do
  grep -q -- "depends on $c" "$recipes/buildroot/kovamem/Config.in" || { echo "FAILED: Config.in lacks $c"; exit 1; }
done

stage() {  # stage <name> <stage dir> [cmake options...]
  local name=$1 dest=$2; shift 2
  cmake -S "$src" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_LIBDIR=lib "${common[@]}" -DKOVAMEM_LIBUNWIND=OFF "$@" >"$work/$name.log" 2>&1
  cmake --build "$work/$name" -j"$(nproc)" >>"$work/$name.log" 2>&1
  DESTDIR=$dest cmake --install "$work/$name" >>"$work/$name.log" 2>&1
}

for sys in buildroot openwrt yocto; do
  echo "-- $sys: configure, build, install into DESTDIR (MIPS)"
  dest=$work/$sys-staging
  stage "$sys" "$dest" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mips-linux-gnu.cmake"
  lib=$dest/usr/lib
  for f in usr/include/kovamem.h usr/include/kovamem_pmr.hpp usr/lib/libkovamem.so.1.0.0 usr/lib/libkovamem-preload.so \
           usr/lib/pkgconfig/kovamem.pc usr/lib/cmake/KovaMem/KovaMemConfig.cmake usr/bin/kovamem-run \
           usr/bin/kovamem-analyze usr/share/man/man1/kovamem-run.1.gz; do
    [ -e "$dest/$f" ] || { echo "FAILED: $sys: $f not staged"; exit 1; }
  done
  [ "$(readlink "$lib/libkovamem.so.1")" = libkovamem.so.1.0.0 ] && [ "$(readlink "$lib/libkovamem.so")" = libkovamem.so.1 ]
  readelf -d "$lib/libkovamem.so.1.0.0" | grep -q 'SONAME.*\[libkovamem.so.1\]'
  readelf -h "$lib/libkovamem.so.1.0.0" | grep -q 'MIPS R3000'
  readelf -h "$lib/libkovamem.so.1.0.0" | grep -q 'big endian'
  if readelf -d "$lib/libkovamem.so.1.0.0" | grep -Eq 'R(UN)?PATH'; then echo "FAILED: $sys: an RPATH"; exit 1; fi
  # No path of this machine's build in any staged text file.
  if grep -rIl -e "$src" -e "$work" "$dest"; then echo "FAILED: $sys: a host path is baked in"; exit 1; fi
  flags=$(PKG_CONFIG_SYSROOT_DIR=$dest PKG_CONFIG_LIBDIR=$lib/pkgconfig pkg-config --cflags --libs kovamem)
  # The file finds its prefix from its own place: its paths lead into the staging tree.
  inc=$(echo "$flags" | tr ' ' '\n' | sed -n 's/^-I//p') libs=$(echo "$flags" | tr ' ' '\n' | sed -n 's/^-L//p')
  [ "$(realpath "$inc")" = "$dest/usr/include" ] && [ "$(realpath "$libs")" = "$dest/usr/lib" ] &&
    echo "$flags" | grep -q -- '-lkovamem' || { echo "FAILED: $sys: pkg-config says $flags"; exit 1; }
  # shellcheck disable=SC2086
  mips-linux-gnu-gcc -o "$work/$sys-consumer" "$src/tests/consumer/consumer.c" $flags
  qemu-mips -L /usr/mips-linux-gnu -E LD_LIBRARY_PATH="$lib" "$work/$sys-consumer" | grep -q 'c consumer ok'
done

echo "-- yocto: run-ptest against a native staged tree"
dest=$work/native-staging
stage native "$dest"
out=$(PATH=$dest/usr/bin:$PATH sh "$recipes/yocto/recipes-devtools/kovamem/files/run-ptest")
echo "$out"
echo "$out" | grep -q '^FAIL:' && { echo "FAILED: run-ptest"; exit 1; }
[ "$(echo "$out" | grep -c '^PASS:')" -ge 5 ]
echo "staged installs as the recipes make them: as expected"
