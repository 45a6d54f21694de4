#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Boot Debian's kernel under qemu (TCG) with the busybox initramfs and run a
# command inside the guest as root, chrooted onto a read-only 9p view of this
# machine's root filesystem (writes go to a tmpfs overlay), with fresh sparse
# scratch disks as /dev/vda and /dev/vdb. The guest has device-mapper + dm-snapshot, so real
# LVM2 commands work there. $OUT is shared read-write and appears in the guest
# at the same path; the command's exit status is returned.
#
# Usage: run-vm.sh [COMMAND [ARGS...]]     (default: guest-scenarios.sh beside this script)
# Env:   WORK (default $ZRSNAP_VM_DIR, else ~/.cache/zrsnap-vm)  OUT (default $WORK/out; wiped first)
#        ACCEL=tcg|kvm (default tcg; kvm hangs on this host, see README)
#        MEM (MiB, default 1024)  SMP (default 2)  DISK_SIZE (default 2G)
#        TIMEOUT (s, default 300)  MACHINE=pc|q35 (default q35)
#        CPU (default: max for tcg, host for kvm)
#        KERNEL (default $WORK/vmlinux if present = uncompressed PVH ELF, else the bzImage)
# Exit:  the guest command's status; 124 on timeout; 125 if no status came back.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=${WORK:-${ZRSNAP_VM_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zrsnap-vm}}
OUT=${OUT:-$WORK/out}
ACCEL=${ACCEL:-tcg}
MEM=${MEM:-1024}
SMP=${SMP:-2}
DISK_SIZE=${DISK_SIZE:-2G}
TIMEOUT=${TIMEOUT:-300}
MACHINE=${MACHINE:-q35}
KVER=$(ls "$WORK/kroot/lib/modules" | head -1)
if [ -z "${KERNEL:-}" ]; then
    KERNEL=$WORK/kroot/boot/vmlinuz-$KVER
    [ -f "$WORK/vmlinux" ] && KERNEL=$WORK/vmlinux
fi
INITRD=$WORK/initramfs.cpio.gz
[ $# -gt 0 ] || set -- "$HERE/guest-scenarios.sh"

[ -f "$INITRD" ] && [ "$INITRD" -nt "$HERE/init" ] && [ "$INITRD" -nt "$HERE/build-initramfs.sh" ] || "$HERE/build-initramfs.sh" "$WORK"

rm -rf "$OUT"; mkdir -p "$OUT"
# The command reaches the guest as a wrapper script inside the shared $OUT.
{
    echo '#!/bin/bash'
    printf 'cd %q 2>/dev/null || cd /\n' "$PWD"
    printf 'exec'; printf ' %q' "$@"; echo
} > "$OUT/.guest-cmd.sh"
chmod +x "$OUT/.guest-cmd.sh"

DISK=$(mktemp "$WORK/scratch.XXXXXX.img")
DISK2=$(mktemp "$WORK/scratch2.XXXXXX.img")
trap 'rm -f "$DISK" "$DISK2"' EXIT
truncate -s "$DISK_SIZE" "$DISK"      # sparse: costs no space up front
truncate -s 512M "$DISK2"             # /dev/vdb, for volume groups that are meant to break

case $ACCEL in
    kvm) ACCEL_ARGS=(-accel kvm -cpu "${CPU:-host}") ;;
    tcg) ACCEL_ARGS=(-accel tcg,thread=multi,tb-size=256 -cpu "${CPU:-max}") ;;
    *) echo "ACCEL must be tcg or kvm" >&2; exit 2 ;;
esac

# cryptomgr.notests: the kernel's crypto self-tests can hang a CPU under TCG
# (seen once: "soft lockup ... [cryptomgr_test]" for minutes at boot).
QEMU=(qemu-system-x86_64 -M "$MACHINE" "${ACCEL_ARGS[@]}" -smp "$SMP" -m "$MEM"
    -nodefaults -no-user-config -display none -monitor none -serial stdio -no-reboot
    -kernel "$KERNEL" -initrd "$INITRD"
    -append "console=ttyS0 panic=-1 loglevel=4 cryptomgr.notests rdinit=/init zrvm.cmd=$OUT/.guest-cmd.sh zrvm.out=$OUT"
    -drive "file=$DISK,format=raw,if=none,id=d0,cache=unsafe"
    -device virtio-blk-pci,drive=d0,serial=lvmtest0
    -drive "file=$DISK2,format=raw,if=none,id=d1,cache=unsafe"
    -device virtio-blk-pci,drive=d1,serial=lvmtest1
    -fsdev local,id=fs0,path=/,security_model=none,readonly=on,multidevs=remap
    -device virtio-9p-pci,fsdev=fs0,mount_tag=hostroot
    -fsdev "local,id=fs1,path=$OUT,security_model=none"
    -device virtio-9p-pci,fsdev=fs1,mount_tag=out)
printf '%q ' "${QEMU[@]}" > "$OUT/qemu-cmdline.txt"

T0=${EPOCHREALTIME/./}
set +e
timeout "$TIMEOUT" "${QEMU[@]}" < /dev/null 2>&1 | while IFS= read -r line; do
    now=${EPOCHREALTIME/./}
    printf '[%7.3f] %s\n' "$(( (now - T0) / 1000 ))e-3" "${line%$'\r'}"
done | tee "$OUT/console.log"
qrc=${PIPESTATUS[0]}
set -e
T1=${EPOCHREALTIME/./}
printf 'HOST: qemu exit=%s wall=%d ms\n' "$qrc" $(( (T1 - T0) / 1000 )) | tee -a "$OUT/console.log"
[ "$qrc" = 124 ] && exit 124
grc=$(cat "$OUT/rc" 2>/dev/null || echo 125)
echo "HOST: guest command exit status: $grc" | tee -a "$OUT/console.log"
exit "$grc"
