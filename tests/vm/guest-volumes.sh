# SPDX-License-Identifier: Apache-2.0
# Sourced inside the guest: a volume group on the scratch disk with an ext4 and
# an XFS thick LV and a thin LV (ext4) in a thin pool, mounted under /mnt.
VG=vgzr
DISK=${ZRVM_DISK:-/dev/vda}
export LVM_SUPPRESS_FD_WARNINGS=1

make_volumes() {
    pvcreate -qy "$DISK" >/dev/null && vgcreate -q "$VG" "$DISK" >/dev/null || return 1
    lvcreate -qy -L 64M -n lvext4 "$VG" >/dev/null || return 1
    lvcreate -qy -L 320M -n lvxfs "$VG" >/dev/null || return 1
    lvcreate -qy -L 128M -T "$VG/pool" >/dev/null || return 1
    lvcreate -qy -V 256M -T "$VG/pool" -n thin >/dev/null || return 1
    # Without these a fresh ext4 keeps initialising in the background and fills small COW areas.
    mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "/dev/$VG/lvext4" || return 1
    mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "/dev/$VG/thin" || return 1
    mkfs.xfs -q "/dev/$VG/lvxfs" || return 1
    for v in ext4 xfs thin; do mkdir -p "/mnt/$v"; done
    mount "/dev/$VG/lvext4" /mnt/ext4 && mount "/dev/$VG/lvxfs" /mnt/xfs && mount "/dev/$VG/thin" /mnt/thin
}
