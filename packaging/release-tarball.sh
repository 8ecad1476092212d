#!/usr/bin/env bash
# Cuts the release tarball the recipes download and writes its SHA-256 into
# them (Buildroot's kovamem.hash, OpenWrt's PKG_HASH, Yocto's sha256sum).
# Until a release is cut this way the recipes hold zeros there.
#   release-tarball.sh OUTDIR [REV]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1 rev=${2:-HEAD}
version=$(sed -n 's/^KOVAMEM_VERSION = //p' "$here/buildroot/kovamem/kovamem.mk")
tarball=$out/kovamem-$version.tar.gz
mkdir -p "$out"
git -C "$here/.." archive --format=tar --prefix="kovamem-$version/" "$rev" | gzip -9n >"$tarball"
sum=$(sha256sum "$tarball" | cut -d' ' -f1)
sed -i "s/^sha256  [0-9a-f]\{64\}  kovamem-$version.tar.gz$/sha256  $sum  kovamem-$version.tar.gz/" \
  "$here/buildroot/kovamem/kovamem.hash"
sed -i "s/^PKG_HASH:=[0-9a-f]\{64\}$/PKG_HASH:=$sum/" "$here/openwrt/kovamem/Makefile"
sed -i "s/^SRC_URI\[sha256sum\] = \"[0-9a-f]\{64\}\"$/SRC_URI[sha256sum] = \"$sum\"/" \
  "$here/yocto/recipes-devtools/kovamem/kovamem_$version.bb"
echo "$tarball $sum"
