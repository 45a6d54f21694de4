#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# One-time host setup: packages + Debian 6.1 kernel extracted (NOT installed) under $WORK/kroot.
# Usage: setup.sh [WORKDIR]   (default $ZRSNAP_VM_DIR, else ~/.cache/zrsnap-vm)
set -euo pipefail
WORK=${1:-${ZRSNAP_VM_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zrsnap-vm}}
mkdir -p "$WORK"
cd "$WORK"

export DEBIAN_FRONTEND=noninteractive
if ! command -v qemu-system-x86_64 >/dev/null || ! command -v lvm >/dev/null \
   || [ ! -x /bin/busybox ] || ! command -v mkfs.xfs >/dev/null || ! command -v cpio >/dev/null \
   || ! command -v thin_check >/dev/null || ! command -v mkfs.btrfs >/dev/null \
   || ! command -v udevadm >/dev/null || ! command -v cryptsetup >/dev/null; then
    apt-get update -qq
    # --no-install-recommends keeps qemu from pulling in GUI/ovmf/etc. udev (systemd-udevd)
    # runs in the guest with the rules that lvm2 and dmsetup install; cryptsetup makes LUKS on an LV.
    apt-get install -y -qq --no-install-recommends \
        qemu-system-x86 lvm2 thin-provisioning-tools busybox-static xfsprogs btrfs-progs cpio e2fsprogs \
        udev cryptsetup-bin
fi

# Resolve the versioned kernel package that linux-image-amd64 points to, download
# it and unpack it with dpkg-deb (no postinst: no initramfs-tools/grub hooks run,
# the host /boot and /lib/modules stay untouched).
if [ ! -d kroot/boot ]; then
    KPKG=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    [ -n "$KPKG" ] || { echo "cannot resolve kernel package" >&2; exit 1; }
    mkdir -p kpkg
    (cd kpkg && apt-get download "$KPKG")
    dpkg-deb -x kpkg/"$KPKG"_*.deb kroot
fi
KVER=$(ls kroot/lib/modules | head -1)
# The .deb ships no modules.dep (depmod runs in postinst); busybox depmod makes one.
[ -s kroot/lib/modules/$KVER/modules.dep ] || busybox depmod -b "$WORK/kroot" "$KVER"
# Uncompressed kernel: Debian's bzImage is XZ-compressed and decompressing it
# under TCG costs ~3 s per boot. The embedded vmlinux is an ELF with a PVH
# entry note (CONFIG_PVH=y), which qemu -kernel boots directly.
if [ ! -s vmlinux ]; then
    BZ=kroot/boot/vmlinuz-$KVER
    OFF=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$BZ" | head -1 | cut -d: -f1)
    tail -c +$((OFF + 1)) "$BZ" | xz -dc 2>/dev/null > vmlinux.tmp || true   # trailing data after the xz stream is expected
    [ "$(head -c 4 vmlinux.tmp | od -An -c | tr -d ' ')" = '177ELF' ] || { echo "vmlinux extraction failed" >&2; exit 1; }
    mv vmlinux.tmp vmlinux
fi
echo "kernel $KVER ready in $WORK/kroot (+ $WORK/vmlinux)"
