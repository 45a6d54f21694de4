#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Build a tiny initramfs: static busybox + the kernel modules needed for
# virtio disk, 9p host share, overlayfs, device-mapper snapshots, ext4, xfs,
# and, where the kernel has them, btrfs, dm-cache, dm-writecache and dm-crypt
# (origins that lvm cannot snapshot, LUKS on an LV).
# Usage: build-initramfs.sh [WORKDIR]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=${1:-${ZRSNAP_VM_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zrsnap-vm}}
KVER=$(ls "$WORK/kroot/lib/modules" | head -1)
MODROOT=$WORK/kroot/lib/modules/$KVER
OUT=$WORK/initramfs.cpio.gz
STAGE=$(mktemp -d "$WORK/initramfs.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT

# Top-level modules; dependencies are resolved from modules.dep below.
# crc32c_generic first: libcrc32c (for dm-thin-pool and xfs) needs the algorithm when it loads.
WANT="crc32c_generic virtio_pci virtio_blk 9pnet_virtio 9p overlay dm-snapshot dm-thin-pool ext4 xfs"
OPTIONAL="btrfs dm-cache-smq dm-writecache dm-crypt xts ecb algif_skcipher"   # their scenarios are skipped where the kernel lacks them

declare -A SEEN=()
ORDER=()
modpath() {   # name -> relative path in modules.dep
    local n=${1//-/[-_]}
    grep -m1 -E "(^|/)${n}\.ko:" "$MODROOT/modules.dep" | cut -d: -f1
}
visit() {     # depth-first: dependencies are appended before the module itself
    local rel=$1 dep
    [ -n "${SEEN[$rel]:-}" ] && return
    SEEN[$rel]=1
    for dep in $(grep -m1 -F "$rel:" "$MODROOT/modules.dep" | cut -d: -f2-); do
        visit "$dep"
    done
    ORDER+=("$rel")
}
for m in $WANT; do
    rel=$(modpath "$m")
    [ -n "$rel" ] || { echo "module $m not found" >&2; exit 1; }
    visit "$rel"
done
for m in $OPTIONAL; do
    rel=$(modpath "$m" || true)
    [ -z "$rel" ] || visit "$rel"
done

mkdir -p "$STAGE"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,run,tmp,host,newroot,out,modules}
cp /bin/busybox "$STAGE/bin/busybox"
for app in $(/bin/busybox --list); do
    [ "$app" = busybox ] || ln -sf busybox "$STAGE/bin/$app"
done
: > "$STAGE/modules/load.list"
for rel in "${ORDER[@]}"; do
    b=$(basename "$rel")
    cp "$MODROOT/$rel" "$STAGE/modules/$b"
    echo "$b" >> "$STAGE/modules/load.list"
done
cp "$HERE/init" "$STAGE/init"
chmod 755 "$STAGE/init"

(cd "$STAGE" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 > "$OUT.tmp"
mv "$OUT.tmp" "$OUT"
echo "built $OUT ($(du -h "$OUT" | cut -f1)); modules: $(tr '\n' ' ' < "$STAGE/modules/load.list")"
