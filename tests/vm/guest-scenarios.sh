#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs INSIDE the qemu guest as root: the scenarios of the real-LVM tier, with
# the plug-in and the reference host built in this checkout.
# Usage: guest-scenarios.sh ZRSNAP_BINARY [--no-udev] [SCENARIO...]   (default: all of them)
# Prints one "PASS name" or "FAIL name" line per check; exits 0 when all pass.
# systemd-udevd runs with the rules of lvm2 and dmsetup, as on production
# systems: /dev/mapper nodes are its links to ../dm-N, made asynchronously.
# With --no-udev, libdm and lvm make real nodes themselves, at once.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ZRSNAP=${1:?usage: guest-scenarios.sh ZRSNAP_BINARY [--no-udev] [SCENARIO...]}
shift
UDEV=1
[ "${1:-}" = --no-udev ] && { UDEV=0; shift; }
WANTED=" $* "
want() { [ "$WANTED" = "  " ] || [ "${WANTED#* $1 }" != "$WANTED" ]; }
. "$HERE/guest-volumes.sh"

W=/tmp/zr
mkdir -p $W
NFAIL=0
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1${2:+: $2}"; NFAIL=$((NFAIL + 1)); }
check() { local d=$1; shift; if "$@"; then pass "$d"; else fail "$d"; return 1; fi; }
manager_lvs() { lvs --noheadings -o lv_name "$VG" | grep -c 'zrks_'; }
mounts_under() { grep -c " $1/" /proc/self/mountinfo; }
lines() { [ -f "$1" ] && grep -c . "$1" || echo 0; }

# lvm as the plug-in runs it: counted, and scripted through files (the plug-in
# passes none of its environment to lvm):
#   kill-host-after-lvcreate N  the Nth lvcreate runs, then the host is SIGKILLed
#   slow-lvcreate DMNAME        lvcreate runs, then DMNAME stays suspended for 8 s while
#                               SIGTERM is ignored, as lvm does while it loads a snapshot
#   fail-after-lvcreate         lvcreate runs, then the command fails
#   take-name                   before the next lvcreate, another LV takes its name
cat > $W/lvm <<'WRAP'
#!/bin/sh
echo "$*" >> /tmp/zr/lvm-calls
[ "$1" = lvcreate ] || exec /sbin/lvm "$@"
if [ -e /tmp/zr/take-name ]; then
    rm -f /tmp/zr/take-name
    name=$(echo "$*" | sed -n 's/.*--name \([^ ]*\).*/\1/p'); vg=$(echo "$*" | sed -n 's/.* \([^ /]*\)\/[^ ]*$/\1/p')
    echo "$vg/$name" > /tmp/zr/squatter
    /sbin/lvm lvcreate -qy -L 8M -n "$name" "$vg" > /dev/null 2>> /tmp/zr/squatter.err
fi
if [ -s /tmp/zr/slow-lvcreate ]; then
    trap '' TERM
    /sbin/lvm "$@"; rc=$?
    dmsetup suspend "$(cat /tmp/zr/slow-lvcreate)"; sleep 8; dmsetup resume "$(cat /tmp/zr/slow-lvcreate)"
    exit $rc
fi
/sbin/lvm "$@"; rc=$?
if [ -s /tmp/zr/kill-host-after-lvcreate ] && \
   [ "$(grep -c '^lvcreate' /tmp/zr/lvm-calls)" -ge "$(cat /tmp/zr/kill-host-after-lvcreate)" ]; then
    kill -KILL "$PPID"
fi
[ -e /tmp/zr/fail-after-lvcreate ] && { echo "  Failed after the snapshot was made." >&2; exit 5; }
exit $rc
WRAP
chmod +x $W/lvm
# config COW_MB [TIMEOUT_S]
config() {
    printf '[SnapOS]\nsEngine=lvm\n[LVM]\nsLvmPath=%s/lvm\nnTimeoutSeconds=%s\n[TLM]\nnSnapCowSizeMB=%s\n' \
        $W "${2:-120}" "$1" > $W/agent.ini
}
suspended() { dmsetup info --noheadings -c -o suspended "$1" 2>/dev/null | xargs; }
active_bit() { lvs --noheadings -o lv_attr "$VG/$1" 2>/dev/null | xargs | cut -c5; }
export ZRSNAP_CONFIG=$W/agent.ini
config 32

# udevadm refuses to act in a chroot unless told that this one is the system.
export SYSTEMD_IGNORE_CHROOT=1
if [ $UDEV = 1 ]; then
    unset DM_DISABLE_UDEV
    mkdir -p /run/udev
    /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || { fail "systemd-udevd started"; exit 1; }
    udevadm trigger --action=add && udevadm settle -t 60
fi
settle() { [ $UDEV = 0 ] || udevadm settle -t 60; }
echo "== guest: $(uname -r), $(lvm version | head -1 | xargs), udev: $([ $UDEV = 1 ] && echo systemd-udevd || echo none)"
make_volumes || { fail "volume group and file systems made"; exit 1; }
for v in ext4 xfs thin; do
    echo v1 > /mnt/$v/data.txt
    head -c 2M /dev/urandom > /mnt/$v/blob.bin
    md5sum < /mnt/$v/blob.bin > $W/$v.md5
done
sync

# ---------------------------------------------------------------- a whole job
scenario_job() {
    local S=$W/job rc
    cat > $W/during-job.sh <<'JOB'
#!/bin/bash
# Runs while the snapshots exist: they are read-only and keep the old content.
rc=0
for n in $(seq 1 "$ZRSNAP_SNAPSHOT_COUNT"); do
    src=$(printenv ZRSNAP_SOURCE_$n); snap=$(printenv ZRSNAP_SNAPSHOT_$n); v=${src#/mnt/}
    findmnt -n -o OPTIONS "$snap" | grep -q '^ro' && echo "PASS $v snapshot mounted read-only at $snap" \
        || { echo "FAIL $v snapshot mounted read-only"; rc=1; }
    echo v2 > "$src/data.txt"; head -c 2M /dev/urandom > "$src/blob.bin"; sync
    [ "$(cat "$snap/data.txt")" = v1 ] && [ "$(md5sum < "$snap/blob.bin")" = "$(cat /tmp/zr/$v.md5)" ] \
        && echo "PASS $v snapshot keeps the old content (checksum)" || { echo "FAIL $v snapshot keeps the old content"; rc=1; }
    [ "$(md5sum < "$src/blob.bin")" != "$(cat /tmp/zr/$v.md5)" ] || { echo "FAIL $v origin changed"; rc=1; }
done
exit $rc
JOB
    chmod +x $W/during-job.sh
    : > $W/lvm-calls
    local T0=${EPOCHREALTIME/./}
    "$ZRSNAP" run -q --state-dir $S --exec $W/during-job.sh /mnt/ext4 /mnt/xfs /mnt/thin
    rc=$?
    echo "INFO job over 3 volumes: $(( (${EPOCHREALTIME/./} - T0) / 1000 )) ms, lvm runs: $(lines $W/lvm-calls) ($(cut -d' ' -f1 $W/lvm-calls | sort | uniq -c | xargs))"
    check "job: zrsnap exits 0" test $rc = 0
    check "job: one lvs, then one lvcreate and one lvremove per volume" \
        test "$(cut -d' ' -f1 $W/lvm-calls | sort | uniq -c | xargs)" = "3 lvcreate 3 lvremove 1 lvs"
    check "job: no snapshot LV left" test "$(manager_lvs)" = 0
    check "job: nothing left mounted" test "$(mounts_under $S/mnt)" = 0
    check "job: record file empty" test -f $S/snap.info -a ! -s $S/snap.info
    check "job: done file lists all three" test "$(lines $S/snap.info.done)" = 3
}

# ---------------------------------------------------------------- 1,000 content paths
scenario_paths() {
    local S=$W/paths rc
    for v in ext4 xfs; do for i in $(seq 1 500); do mkdir -p /mnt/$v/d$i; done; done
    : > $W/lvm-calls
    "$ZRSNAP" run -q --state-dir $S --exec true $(for v in ext4 xfs; do for i in $(seq 1 500); do echo /mnt/$v/d$i; done; done)
    rc=$?
    echo "INFO job of 1000 content paths on 2 LVs: lvm runs: $(lines $W/lvm-calls) ($(cut -d' ' -f1 $W/lvm-calls | sort | uniq -c | xargs))"
    check "1000 paths: one snapshot per volume, all removed" test $rc = 0 -a "$(manager_lvs)" = 0 -a "$(lines $S/snap.info.done)" = 2
}

# ---------------------------------------------------------------- crash recovery, and a reboot after it
# The host dies right after its third lvcreate returns: the record names all
# three snapshots (it is written before each is made). A reboot in between
# (every LV deactivated, the VG activated again) must leave the thin snapshot
# down, and the next start removes it by the name its record line holds.
scenario_crash() {
    local S=$W/crash rc thin
    : > $W/lvm-calls
    echo 3 > $W/kill-host-after-lvcreate
    "$ZRSNAP" run -q --state-dir $S /mnt/ext4 /mnt/xfs /mnt/thin
    rc=$?
    rm -f $W/kill-host-after-lvcreate
    check "crash: host killed by SIGKILL right after its third lvcreate" test $rc = 137
    check "crash: three snapshots present and recorded" test "$(manager_lvs)" = 3 -a "$(lines $S/snap.info)" = 3
    thin=$(lvs --noheadings -o lv_name,origin $VG | awk '$2 == "thin" && $1 ~ /^zrks_/ { print $1 }')
    check "crash: the thin snapshot is skipped at activation" \
        test "$(lvs --noheadings -o lv_attr $VG/$thin | xargs | cut -c10)" = k
    grep " $S/mnt/" /proc/self/mountinfo | cut -d' ' -f5 | xargs -r -n1 umount
    umount /mnt/ext4 /mnt/xfs /mnt/thin && vgchange -q -an $VG >/dev/null && vgchange -q -ay $VG >/dev/null
    mount /dev/$VG/lvext4 /mnt/ext4 && mount /dev/$VG/lvxfs /mnt/xfs && mount /dev/$VG/thin /mnt/thin
    check "reboot: the leaked thin snapshot stays inactive" test "$(active_bit $thin)" = -
    check "reboot: no device node for it" test ! -e /dev/mapper/$VG-$thin
    "$ZRSNAP" cleanup -q --state-dir $S --log $S.log
    check "crash: cleanup exits 0" test $? = 0
    check "crash: no snapshot LV left, the inactive thin one too" test "$(manager_lvs)" = 0
    check "crash: nothing left mounted" test "$(mounts_under $S/mnt)" = 0
    check "crash: the record names nothing" test ! -s $S/snap.info
}

# ---------------------------------------------------------------- lvm timed out while the origin is suspended
# lvm ignores SIGTERM while it holds the origin suspended: a SIGKILL there would
# leave every write to the origin hanging. The job waits for it, and the
# snapshot it made late is used, recorded and removed.
writable() {   # a direct write that returns within 10 s
    (dd if=/dev/zero of="$1/written.bin" bs=4k count=1 oflag=direct conv=fsync status=none) & local p=$!
    for _ in $(seq 1 20); do kill -0 $p 2>/dev/null || { wait $p; return; }; sleep 0.5; done
    return 1
}
scenario_slow() {
    local S=$W/slow rc
    config 32 3
    echo "$VG-lvext4" > $W/slow-lvcreate
    "$ZRSNAP" run -q --state-dir $S --log $S.log --exec true /mnt/ext4 2> $W/slow.err
    rc=$?
    rm -f $W/slow-lvcreate
    config 32
    cat $W/slow.err
    check "slow lvcreate: the job succeeds" test $rc = 0
    check "slow lvcreate: origin not left suspended" test "$(suspended $VG-lvext4)" = Active
    [ "$(suspended $VG-lvext4)" = Active ] || dmsetup resume $VG-lvext4
    check "slow lvcreate: origin writable" writable /mnt/ext4
    check "slow lvcreate: the log says lvm ran past its timeout" grep -q "lvcreate.* did not finish in time; sent it SIGTERM and keep waiting" $S.log
    check "slow lvcreate: snapshot recorded and removed" test "$(manager_lvs)" = 0 -a "$(lines $S/snap.info.done)" = 1
}

# ---------------------------------------------------------------- lvcreate failed after it made the snapshot
scenario_failed_lvcreate() {
    local S=$W/failed rc
    touch $W/fail-after-lvcreate
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/ext4 2> $W/failed.err
    rc=$?
    rm -f $W/fail-after-lvcreate
    cat $W/failed.err
    check "failed lvcreate: the job fails" test $rc = 1
    check "failed lvcreate: the error says it was removed again" grep -q "exited with status 5.*it made was removed again" $W/failed.err
    check "failed lvcreate: the snapshot it made is removed" test "$(manager_lvs)" = 0
    check "failed lvcreate: origin writable" writable /mnt/ext4
}

# ---------------------------------------------------------------- a busy snapshot
scenario_busy() {
    local S=$W/busy rc
    # The holder leaves the backup's process group (zrsnap ends what the backup leaves running), and the
    # backup returns only once it has.
    "$ZRSNAP" run -q --state-dir $S --exec 'setsid sleep 600 < "$ZRSNAP_SNAPSHOT_1/data.txt" >/dev/null 2>&1 & p=$!
        echo $p > /tmp/zr/holder; until [ "$(cut -d" " -f5 /proc/$p/stat)" = "$p" ]; do sleep 0.05; done' \
        /mnt/ext4 2> $W/busy.err
    rc=$?
    check "busy: teardown succeeds but reports the snapshot it kept" \
        grep -q "1 snapshot(s) could not be removed and stay recorded" $W/busy.err
    check "busy: no teardown error" bash -c "! grep -q 'teardown failed' $W/busy.err"
    check "busy: entry stays recorded, snapshot stays" test "$(lines $S/snap.info)" = 1 -a "$(manager_lvs)" = 1
    kill "$(cat $W/holder)"; sleep 0.2
    "$ZRSNAP" cleanup -q --state-dir $S
    check "busy: removed once the file is closed" test $? = 0 -a "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0
}

# ---------------------------------------------------------------- an overflowed snapshot
scenario_overflow() {
    local S=$W/overflow rc
    config 4
    "$ZRSNAP" run -q --state-dir $S --log $S.log \
        --exec 'dd if=/dev/urandom of=/mnt/ext4/big.bin bs=1M count=12 conv=fsync status=none' /mnt/ext4 2> $W/overflow.err
    rc=$?
    config 32
    cat $W/overflow.err
    check "overflow: the job fails" test $rc = 1
    check "overflow: the error names the snapshot" grep -Eq "snapshot $VG/zrks_[0-9]+ (overflowed|is invalid)" $W/overflow.err
    check "overflow: the error says the backup is incomplete" grep -q "incomplete" $W/overflow.err
    check "overflow: snapshot removed" test "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0 \
        || grep -E "ERROR|WARN" $S.log | tail -n 8
    rm -f /mnt/ext4/big.bin
}

# ---------------------------------------------------------------- no room in the volume group
# 40 MiB left for two 32 MiB snapshots: refused before the first.
scenario_full() {
    local S=$W/full rc free
    free=$(vgs --noheadings --units m --nosuffix -o vg_free $VG | xargs | cut -d. -f1)
    lvcreate -qy -L $((free - 40))M -n filler $VG >/dev/null
    "$ZRSNAP" run -q --state-dir $S /mnt/ext4 /mnt/xfs /mnt/thin 2> $W/full.err
    rc=$?
    cat $W/full.err
    check "no room: job fails" test $rc = 1
    check "no room: the whole job is refused, every figure named" \
        grep -q "Not enough snapshot space for this job, so no snapshot was made: volume group $VG has 40 MiB free, the job's snapshots need 64 MiB ($VG/lvext4 32 MiB, $VG/lvxfs 32 MiB)" $W/full.err
    check "no room: nothing was made" test "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0 -a ! -s $S/snap.info
    lvremove -qy $VG/filler >/dev/null
}

# ---------------------------------------------------------------- ownership
# An administrator's snapshot of the same origin, mounted at /mnt/adm, survives
# a job, and a forged record line that names it with that directory.
scenario_owner() {
    local S=$W/owner
    mkdir -p $S /mnt/adm
    lvcreate -qy -s -L 16M -n adminsnap $VG/lvext4 >/dev/null && mount -o ro /dev/$VG/adminsnap /mnt/adm
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/ext4
    check "ownership: a job beside it succeeds" test $? = 0
    check "ownership: it stays mounted after the job" test "$(findmnt -n -o SOURCE /mnt/adm)" = "/dev/mapper/$VG-adminsnap"
    echo "/mnt/ext4:/dev/mapper/$VG-adminsnap:/mnt/adm" > $S/snap.info
    "$ZRSNAP" cleanup --state-dir $S --log $S.log
    check "ownership: a forged record does not unmount it" \
        test "$(findmnt -n -o SOURCE /mnt/adm)" = "/dev/mapper/$VG-adminsnap"
    check "ownership: the log says why" grep -q "Refusing to unmount /mnt/adm" $S.log
    umount /mnt/adm
    echo "/mnt/ext4:/dev/mapper/$VG-adminsnap:/mnt/adm" > $S/snap.info
    "$ZRSNAP" cleanup --state-dir $S --log $S.log
    check "ownership: administrator's snapshot not deleted" lvs $VG/adminsnap
    check "ownership: the log says why not" grep -q "Refusing to delete $VG/adminsnap" $S.log
    lvremove -qy $VG/adminsnap >/dev/null
}

# ---------------------------------------------------------------- lvm.conf: binary values as numbers
# With report/binary_values_as_numeric = 1 a valid snapshot reads "0": the next
# start must remove it without calling it overflowed or forcing it.
scenario_numeric() {
    local S=$W/numeric
    mkdir -p $W/etc-lvm && printf 'report {\n\tbinary_values_as_numeric = 1\n}\n' > $W/etc-lvm/lvm.conf
    export LVM_SYSTEM_DIR=$W/etc-lvm
    "$ZRSNAP" run -q --state-dir $S /mnt/ext4 /mnt/thin
    check "numeric values: snapshots made" test $? = 0 -a "$(manager_lvs)" = 2
    : > $W/lvm-calls
    "$ZRSNAP" cleanup -q --state-dir $S --log $S.log
    check "numeric values: cleanup exits 0" test $? = 0
    unset LVM_SYSTEM_DIR
    check "numeric values: both removed" test "$(manager_lvs)" = 0
    check "numeric values: no snapshot called damaged" bash -c "! grep -E 'overflowed|is invalid|incomplete' $S.log"
    check "numeric values: no forced removal" bash -c "! grep -q -- --force $W/lvm-calls"
}

# ---------------------------------------------------------------- btrfs
scenario_btrfs() {
    local S=$W/btrfs rc
    if ! command -v mkfs.btrfs >/dev/null || ! grep -qw btrfs /proc/filesystems; then
        echo "INFO btrfs: skipped, the guest has no btrfs"
        return
    fi
    lvcreate -qy -L 128M -n lvbtrfs $VG >/dev/null && mkfs.btrfs -q /dev/$VG/lvbtrfs >/dev/null \
        && mkdir -p /mnt/btrfs && mount /dev/$VG/lvbtrfs /mnt/btrfs || { fail "btrfs: volume made"; return; }
    : > $W/lvm-calls
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/btrfs 2> $W/btrfs.err
    rc=$?
    cat $W/btrfs.err
    check "btrfs: refused" test $rc = 1
    check "btrfs: the error says why" grep -q "Cannot snapshot $VG/lvbtrfs: it holds btrfs" $W/btrfs.err
    check "btrfs: nothing created" bash -c "! grep -q ^lvcreate $W/lvm-calls"
    umount /mnt/btrfs && lvremove -qy $VG/lvbtrfs >/dev/null
}

# ---------------------------------------------------------------- a broken volume group beside a healthy one
# On the second disk: a VG whose second PV is gone, one whose metadata is
# damaged, a foreign one (another host's system ID) and an exported one. lvs
# exits non-zero for some of them, and the job on the healthy VG goes on.
scenario_badvg() {
    local S=$W/badvg rc out
    [ -b /dev/vdb ] || { fail "bad VG: second disk present"; return; }
    # Not at offset 0: lvm would see the label of the first through /dev/vdb too.
    dmsetup create zrpv1 --table "0 131072 linear /dev/vdb 2048" \
        && dmsetup create zrpv2 --table "0 131072 linear /dev/vdb 133120" \
        && dmsetup create zrpv3 --table "0 131072 linear /dev/vdb 264192" \
        && dmsetup create zrpv4 --table "0 131072 linear /dev/vdb 395264" \
        && dmsetup create zrpv5 --table "0 131072 linear /dev/vdb 526336" || { fail "bad VG: devices made"; return; }
    vgcreate -q vgfor /dev/mapper/zrpv4 >/dev/null && vgchange -qy --systemid otherhost vgfor >/dev/null 2>&1 \
        || { fail "bad VG: foreign VG made"; return; }
    vgcreate -q vgexp /dev/mapper/zrpv5 >/dev/null && vgexport -q vgexp >/dev/null || { fail "bad VG: exported VG made"; return; }
    vgcreate -q vgmiss /dev/mapper/zrpv1 /dev/mapper/zrpv2 >/dev/null && lvcreate -qy -L 96M -n lv vgmiss >/dev/null \
        && vgchange -q -an vgmiss >/dev/null && dmsetup remove zrpv2 || { fail "bad VG: missing PV made"; return; }
    vgcreate -q vgdmg /dev/mapper/zrpv3 >/dev/null && lvcreate -qy -L 8M -n lv vgdmg >/dev/null \
        && vgchange -q -an vgdmg >/dev/null || { fail "bad VG: damaged VG made"; return; }
    # Garbage over the metadata text behind the area header at 4 KiB.
    head -c 65536 /dev/urandom | dd of=/dev/mapper/zrpv3 bs=512 seek=9 conv=notrunc status=none
    out=$(lvs --reportformat json --binary -o lv_name,vg_name 2>&1 >/dev/null); rc=$?
    echo "INFO bad VG: lvs exits $rc: $(echo "$out" | xargs)"
    "$ZRSNAP" run -q --state-dir $S --log $S.log --exec true /mnt/ext4 2> $W/badvg.err
    check "bad VG: the job on the healthy VG succeeds" test $? = 0 -a "$(manager_lvs)" = 0 || cat $W/badvg.err
    check "bad VG: lvs's complaint is in the log" grep -q "lvs reported:" $S.log
    for d in zrpv1 zrpv3 zrpv4 zrpv5; do dmsetup remove $d; done
    settle  # the next scenario starts once udev has seen the devices go
}

# ---------------------------------------------------------------- a taken name
# Another LV takes the snapshot's name just before lvcreate: lvm makes
# nothing, the job tries the next number, and the other LV is left alone.
scenario_taken() {
    local S=$W/taken rc other
    : > $W/lvm-calls; rm -f $W/squatter; touch $W/take-name
    "$ZRSNAP" run -q --state-dir $S --log $S.log --exec true /mnt/ext4 2> $W/taken-job.err
    rc=$?
    rm -f $W/take-name
    other=$(cat $W/squatter 2>/dev/null)
    check "taken name: the job succeeds under the next number" test $rc = 0 || cat $W/taken-job.err
    check "taken name: lvcreate ran twice" test "$(grep -c ^lvcreate $W/lvm-calls)" = 2
    check "taken name: the LV that took it is left alone" lvs "${other:-none/none}" || cat $W/squatter.err
    check "taken name: the job's own snapshot is removed" test "$(manager_lvs)" = 1 -a "$(lines $S/snap.info.done)" = 1
    [ -z "$other" ] || lvremove -qy "$other" >/dev/null
}

# ---------------------------------------------------------------- a bind mount of a sub-folder
scenario_bind() {
    local S=$W/bind rc out
    mkdir -p /mnt/ext4/sub /srv/bind && echo top > /mnt/ext4/which.txt && echo sub > /mnt/ext4/sub/which.txt && sync
    mount --bind /mnt/ext4/sub /srv/bind || { fail "bind mount: made"; return; }
    out=$("$ZRSNAP" run -q --state-dir $S --exec 'cat "$ZRSNAP_SNAPSHOT_1/which.txt"' /srv/bind 2> $W/bind.err)
    rc=$?
    check "bind mount: the job succeeds" test $rc = 0 || cat $W/bind.err
    check "bind mount: the backup reads the bound sub-folder of the snapshot" test "$out" = sub
    check "bind mount: snapshot removed" test "$(manager_lvs)" = 0
    umount /srv/bind; rm -rf /mnt/ext4/sub /mnt/ext4/which.txt
}

# ---------------------------------------------------------------- an origin someone froze
# On 6.1 the kernel refuses to suspend a device whose file system is frozen
# (EBUSY), and lvcreate leaves the plain LV of its copy-on-write area behind.
scenario_frozen() {
    local S=$W/frozen rc
    fsfreeze -f /mnt/ext4 || { fail "frozen origin: frozen"; return; }
    "$ZRSNAP" run -q --state-dir $S --log $S.log --exec true /mnt/ext4 2> $W/frozen.err
    rc=$?
    fsfreeze -u /mnt/ext4
    cat $W/frozen.err
    if [ $rc = 0 ]; then echo "INFO frozen origin: this kernel snapshots a frozen file system"; return; fi
    check "frozen origin: the job fails" test $rc = 1
    check "frozen origin: the error names the freeze" \
        grep -q "as it does while its file system is frozen: thaw it (fsfreeze --unfreeze /mnt/ext4)" $W/frozen.err
    check "frozen origin: what lvm left is removed" test "$(manager_lvs)" = 0
    check "frozen origin: the record names nothing" test ! -s $S/snap.info
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/ext4
    check "frozen origin: once thawed, the next job succeeds" test $? = 0 -a "$(manager_lvs)" = 0
}

# ---------------------------------------------------------------- an LV cached through a cache volume
scenario_cachevol() {
    local S=$W/cachevol rc v
    if ! dmsetup targets | grep -q '^cache '; then echo "INFO cache volume: skipped, the guest has no dm-cache"; return; fi
    lvcreate -qy -L 64M -n lvcached $VG >/dev/null && mkfs.ext4 -q /dev/$VG/lvcached \
        && lvcreate -qy -L 16M -n fast $VG >/dev/null && lvconvert -qy --type cache --cachevol fast $VG/lvcached >/dev/null \
        && mkdir -p /mnt/cached && mount /dev/$VG/lvcached /mnt/cached || { fail "cache volume: LV made"; return; }
    : > $W/lvm-calls
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/cached 2> $W/cachevol.err
    rc=$?
    cat $W/cachevol.err
    v=$(lvm version | sed -n 's/ *LVM version: *\([0-9.]*\).*/\1/p')
    if [ "$(printf '%s\n2.03.21\n' "$v" | sort -V | head -n 1)" = 2.03.21 ]; then
        check "cache volume: lvm $v snapshots it" test $rc = 0
    else
        check "cache volume: refused under lvm $v, before anything is made" \
            bash -c "[ $rc = 1 ] && ! grep -q ^lvcreate $W/lvm-calls"
        check "cache volume: the error says why" \
            grep -q "Cannot snapshot $VG/lvcached: it is cached through the cache volume $VG/fast_cvol" $W/cachevol.err
    fi
    check "cache volume: no snapshot LV left" test "$(manager_lvs)" = 0
    umount /mnt/cached; lvremove -qy $VG/lvcached >/dev/null
}

# ---------------------------------------------------------------- LUKS on an LV
scenario_luks() {
    local S=$W/luks rc dm
    lvcreate -qy -L 64M -n lvsec $VG >/dev/null && printf pw > $W/key || { fail "LUKS: LV made"; return; }
    if ! cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 /dev/$VG/lvsec $W/key \
        || ! cryptsetup open --key-file $W/key /dev/$VG/lvsec zrsecret; then
        echo "INFO LUKS: skipped, dm-crypt cannot run here"; lvremove -qy $VG/lvsec >/dev/null; return
    fi
    settle
    mkfs.ext4 -q /dev/mapper/zrsecret && mkdir -p /mnt/sec && mount /dev/mapper/zrsecret /mnt/sec \
        || { fail "LUKS: file system made"; return; }
    dm=$(basename "$(readlink -f /dev/mapper/zrsecret)")
    : > $W/lvm-calls
    "$ZRSNAP" run -q --state-dir $S --exec true /mnt/sec 2> $W/luks.err
    rc=$?
    cat $W/luks.err
    check "LUKS on an LV: refused" test $rc = 1
    check "LUKS on an LV: the error names the dm-crypt device and the LV beneath" grep -q "Subclient content /mnt/sec is not a Native Scan Capable mount path: /dev/mapper/zrsecret is the dm-crypt device $dm (zrsecret) over the logical volume $VG/lvsec" $W/luks.err
    check "LUKS on an LV: nothing created" bash -c "! grep -q ^lvcreate $W/lvm-calls"
    umount /mnt/sec; cryptsetup close zrsecret; lvremove -qy $VG/lvsec >/dev/null
}

# ---------------------------------------------------------------- recovery acts on evidence
# A job killed right after its lvcreate leaves one recorded snapshot; its
# name as the record holds it. Its mount is taken away, as a reboot would.
killed_job() {   # STATE_DIR MOUNT_POINT
    echo 1 > $W/kill-host-after-lvcreate
    "$ZRSNAP" run -q --state-dir "$1" "$2" > /dev/null
    rm -f $W/kill-host-after-lvcreate
    grep " $1/mnt/" /proc/self/mountinfo | cut -d' ' -f5 | xargs -r -n1 umount >&2
    sed -n 's/.*\(zrks_[0-9]*\).*/\1/p' "$1/snap.info" | head -n 1
}
# Never dropped while it exists: the record names every snapshot LV of ours.
recorded_if_present() {   # VG SNAP STATE_DIR
    ! lvs "$1/$2" >/dev/null 2>&1 || grep -q "$2" "$3/snap.info"
}

# lvs reports the snapshot active, and its /dev/mapper node is missing (udev
# has not made it yet, or someone removed it): it is found by its name.
scenario_missing_node() {
    local S=$W/missingnode snap
    snap=$(killed_job $S /mnt/ext4)
    check "missing node: a snapshot recorded" test -n "$snap" -a "$(lines $S/snap.info)" = 1 || return
    rm -f /dev/mapper/$VG-$snap
    check "missing node: lvs reports it active without a node" \
        test "$(active_bit $snap)" = a -a ! -e /dev/mapper/$VG-$snap
    "$ZRSNAP" cleanup --state-dir $S --log $S.log > $W/missingnode.out 2>&1
    cat $W/missingnode.out
    check "missing node: never dropped while it exists" recorded_if_present $VG $snap $S
    check "missing node: cleanup removes it by its name" test "$(manager_lvs)" = 0
    check "missing node: the record names nothing" test ! -s $S/snap.info
    lvremove -qy $VG/$snap >/dev/null 2>&1; : > $S/snap.info
}

# The VG is deactivated between the kill and the cleanup (a boot that has not
# activated it yet), and activated after.
scenario_inactive_vg() {
    local S=$W/inactivevg snap
    snap=$(killed_job $S /mnt/xfs)
    check "inactive VG: a snapshot recorded" test -n "$snap" -a "$(lines $S/snap.info)" = 1 || return
    umount /mnt/ext4 /mnt/xfs /mnt/thin && vgchange -q -an $VG >/dev/null || { fail "inactive VG: deactivated"; return; }
    "$ZRSNAP" cleanup --state-dir $S --log $S.log > $W/inactivevg.out 2>&1
    cat $W/inactivevg.out
    check "inactive VG: never dropped while it exists" recorded_if_present $VG $snap $S
    vgchange -q -ay $VG >/dev/null && settle
    mount /dev/$VG/lvext4 /mnt/ext4 && mount /dev/$VG/lvxfs /mnt/xfs && mount /dev/$VG/thin /mnt/thin
    "$ZRSNAP" cleanup -q --state-dir $S --log $S.log
    check "inactive VG: removed once the VG is active" test "$(manager_lvs)" = 0 -a ! -s $S/snap.info
    lvremove -qy $VG/$snap >/dev/null 2>&1; : > $S/snap.info
}

# The VG's PV appears only after the first cleanup (a disk that comes late):
# the entry stays recorded and is reported unknown until the VG is visible.
scenario_late_pv() {
    local S=$W/latepv snap table="0 131072 linear /dev/vdb 700416"
    [ -b /dev/vdb ] || { fail "late PV: second disk present"; return; }
    dmsetup create zrpvlate --table "$table" && settle && vgcreate -q vglate /dev/mapper/zrpvlate >/dev/null \
        && lvcreate -qy -L 16M -n lv vglate >/dev/null && mkfs.ext4 -q /dev/vglate/lv && mkdir -p /mnt/late \
        && mount /dev/vglate/lv /mnt/late || { fail "late PV: volume made"; return; }
    snap=$(killed_job $S /mnt/late)
    check "late PV: a snapshot recorded" test -n "$snap" -a "$(lines $S/snap.info)" = 1 || return
    umount /mnt/late && vgchange -q -an vglate >/dev/null && dmsetup remove zrpvlate && settle
    check "late PV: its VG is not visible" bash -c "! lvs vglate >/dev/null 2>&1"
    "$ZRSNAP" cleanup --state-dir $S --log $S.log > $W/latepv.out 2>&1
    cat $W/latepv.out
    check "late PV: the entry stays recorded while its VG is not visible" grep -q "$snap" $S/snap.info
    "$ZRSNAP" status --state-dir $S > $W/latepv.status 2>&1
    check "late PV: status reports the entry unknown" grep -qi unknown $W/latepv.status || cat $W/latepv.status
    dmsetup create zrpvlate --table "$table" && settle && vgchange -q -ay vglate >/dev/null && settle
    "$ZRSNAP" cleanup -q --state-dir $S --log $S.log
    check "late PV: removed once its VG is visible" \
        bash -c "! lvs --noheadings -o lv_name vglate | grep -q zrks_ && [ ! -s $S/snap.info ]"
    vgremove -qy -f vglate >/dev/null; dmsetup remove zrpvlate
}

# ---------------------------------------------------------------- a process holding the snapshot's mount point
# As after zrsnap and its watchdog were killed: the teardown names the holder,
# keeps the entry and the mount (never a lazy unmount), and works once it left.
scenario_holder() {
    local S=$W/holding mnt pid rc
    "$ZRSNAP" run -q --state-dir $S /mnt/ext4 > /dev/null 2> $W/holder.run \
        || { fail "holder: snapshot made"; cat $W/holder.run; return; }
    mnt=$(cut -d: -f3 $S/snap.info)
    (cd "$mnt" && exec sleep 600) & pid=$!
    until [ "$(readlink /proc/$pid/cwd)" = "$mnt" ] && grep -q '^sleep' /proc/$pid/cmdline; do sleep 0.05; done
    "$ZRSNAP" status --state-dir $S > $W/holder.status
    check "holder: status names it" grep -q "held by pid $pid (sleep 600): cwd" $W/holder.status || cat $W/holder.status
    "$ZRSNAP" cleanup --state-dir $S > $W/holder.out 2> $W/holder.err
    rc=$?
    check "holder: the clean-up fails" test $rc = 1
    check "holder: the failure names the process" \
        grep -q "(Device or resource busy); tried 5 times; held by pid $pid (sleep 600): cwd" $W/holder.err \
        || cat $W/holder.err
    check "holder: entry, mount and snapshot stay" \
        test "$(lines $S/snap.info)" = 1 -a "$(mounts_under $S/mnt)" = 1 -a "$(manager_lvs)" = 1
    kill $pid; wait $pid 2>/dev/null
    "$ZRSNAP" cleanup -q --state-dir $S
    check "holder: removed once it left" test $? = 0 -a "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0
}

ALL="job paths crash slow failed_lvcreate busy overflow full owner numeric btrfs badvg holder taken bind frozen
     cachevol luks missing_node inactive_vg late_pv"
for s in $ALL; do
    want $s && scenario_$s
done

echo "== guest: $NFAIL failure(s), uptime $(cut -d' ' -f1 /proc/uptime)s"
[ $NFAIL = 0 ]
