#!/bin/bash
# Runs INSIDE the qemu guest as root: the scenarios of the real-LVM tier, with
# the plug-in and the reference host built in this checkout.
# Usage: guest-scenarios.sh ZRSNAP_BINARY
# Prints one "PASS name" or "FAIL name" line per check; exits 0 when all pass.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ZRSNAP=${1:?usage: guest-scenarios.sh ZRSNAP_BINARY}
. "$HERE/guest-volumes.sh"

W=/tmp/zr
mkdir -p $W
NFAIL=0
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1${2:+: $2}"; NFAIL=$((NFAIL + 1)); }
check() { local d=$1; shift; if "$@"; then pass "$d"; else fail "$d"; fi; }
manager_lvs() { lvs --noheadings -o lv_name "$VG" | grep -c 'zrks_'; }
mounts_under() { grep -c " $1/" /proc/self/mountinfo; }
lines() { [ -f "$1" ] && grep -c . "$1" || echo 0; }

# lvm as the plug-in runs it: counted, and able to kill the host at the Nth lvcreate
# (N in a file: the plug-in passes none of its environment to lvm).
cat > $W/lvm <<'WRAP'
#!/bin/sh
echo "$*" >> /tmp/zr/lvm-calls
if [ "$1" = lvcreate ] && [ -s /tmp/zr/kill-host-at-lvcreate ] && \
   [ "$(grep -c '^lvcreate' /tmp/zr/lvm-calls)" -ge "$(cat /tmp/zr/kill-host-at-lvcreate)" ]; then
    kill -KILL "$PPID"; exit 1
fi
exec /sbin/lvm "$@"
WRAP
chmod +x $W/lvm
config() { printf '[SnapOS]\nsEngine=lvm\n[LVM]\nsLvmPath=%s/lvm\n[TLM]\nnSnapCowSizeMB=%s\n' $W "$1" > $W/agent.ini; }
export ZRSNAP_CONFIG=$W/agent.ini
config 32

echo "== guest: $(uname -r), $(lvm version | head -1 | xargs)"
make_volumes || { fail "volume group and file systems made"; exit 1; }
for v in ext4 xfs thin; do
    echo v1 > /mnt/$v/data.txt
    head -c 2M /dev/urandom > /mnt/$v/blob.bin
    md5sum < /mnt/$v/blob.bin > $W/$v.md5
done
sync

# ---------------------------------------------------------------- a whole job
S=$W/job
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
T0=${EPOCHREALTIME/./}
"$ZRSNAP" run -q --state-dir $S --exec $W/during-job.sh /mnt/ext4 /mnt/xfs /mnt/thin
rc=$?
echo "INFO job over 3 volumes: $(( (${EPOCHREALTIME/./} - T0) / 1000 )) ms, lvm runs: $(lines $W/lvm-calls) ($(cut -d' ' -f1 $W/lvm-calls | sort | uniq -c | xargs))"
check "job: zrsnap exits 0" test $rc = 0
check "job: no snapshot LV left" test "$(manager_lvs)" = 0
check "job: nothing left mounted" test "$(mounts_under $S/mnt)" = 0
check "job: record file empty" test -f $S/snap.info -a ! -s $S/snap.info
check "job: done file lists all three" test "$(lines $S/snap.info.done)" = 3

# ---------------------------------------------------------------- 1,000 content paths
for v in ext4 xfs; do for i in $(seq 1 500); do mkdir -p /mnt/$v/d$i; done; done
: > $W/lvm-calls
"$ZRSNAP" run -q --state-dir $S --exec true $(for v in ext4 xfs; do for i in $(seq 1 500); do echo /mnt/$v/d$i; done; done)
rc=$?
echo "INFO job of 1000 content paths on 2 LVs: lvm runs: $(lines $W/lvm-calls) ($(cut -d' ' -f1 $W/lvm-calls | sort | uniq -c | xargs))"
check "1000 paths: one snapshot per volume, all removed" test $rc = 0 -a "$(manager_lvs)" = 0 -a "$(lines $S/snap.info.done)" = 2

# ---------------------------------------------------------------- crash recovery
S=$W/crash
: > $W/lvm-calls
echo 3 > $W/kill-host-at-lvcreate
"$ZRSNAP" run -q --state-dir $S /mnt/ext4 /mnt/xfs /mnt/thin
rc=$?
rm -f $W/kill-host-at-lvcreate
check "crash: host killed by SIGKILL at its third snapshot" test $rc = 137
check "crash: two snapshots recorded and present" test "$(lines $S/snap.info)" = 2 -a "$(manager_lvs)" = 2
"$ZRSNAP" cleanup -q --state-dir $S
check "crash: cleanup exits 0" test $? = 0
check "crash: no snapshot LV left" test "$(manager_lvs)" = 0
check "crash: nothing left mounted" test "$(mounts_under $S/mnt)" = 0

# ---------------------------------------------------------------- a busy snapshot
S=$W/busy
"$ZRSNAP" run -q --state-dir $S --exec 'sleep 600 < "$ZRSNAP_SNAPSHOT_1/data.txt" >/dev/null 2>&1 & echo $! > /tmp/zr/holder' \
    /mnt/ext4 2> $W/busy.err
rc=$?
check "busy: teardown succeeds but reports the snapshot it kept" \
    grep -q "1 snapshot(s) could not be removed and stay recorded" $W/busy.err
check "busy: no teardown error" bash -c "! grep -q 'teardown failed' $W/busy.err"
check "busy: entry stays recorded, snapshot stays" test "$(lines $S/snap.info)" = 1 -a "$(manager_lvs)" = 1
kill "$(cat $W/holder)"; sleep 0.2
"$ZRSNAP" cleanup -q --state-dir $S
check "busy: removed once the file is closed" test $? = 0 -a "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0

# ---------------------------------------------------------------- an overflowed snapshot
S=$W/overflow
config 4
"$ZRSNAP" run -q --state-dir $S --log $S.log \
    --exec 'dd if=/dev/urandom of=/mnt/ext4/big.bin bs=1M count=12 conv=fsync status=none' /mnt/ext4
check "overflow: job still ends" test $? -le 1
check "overflow: snapshot removed" test "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0
check "overflow: log says the snapshot overflowed" grep -q "overflowed: its copy-on-write space filled up" $S.log
rm -f /mnt/ext4/big.bin
config 32

# ---------------------------------------------------------------- no room in the volume group
S=$W/full
free=$(vgs --noheadings --units m --nosuffix -o vg_free $VG | xargs | cut -d. -f1)
lvcreate -qy -L $((free - 40))M -n filler $VG >/dev/null
"$ZRSNAP" run -q --state-dir $S /mnt/ext4 /mnt/xfs /mnt/thin 2> $W/full.err
rc=$?
cat $W/full.err
check "no room: job fails" test $rc = 1
check "no room: clear error before the XFS snapshot" \
    grep -q "Cannot snapshot $VG/lvxfs: volume group $VG has 8 MiB free, the snapshot needs 32 MiB" $W/full.err
check "no room: earlier snapshots rolled back" test "$(manager_lvs)" = 0 -a "$(mounts_under $S/mnt)" = 0
lvremove -qy $VG/filler >/dev/null

# ---------------------------------------------------------------- ownership
S=$W/owner
mkdir -p $S /mnt/adm
lvcreate -qy -s -L 16M -n adminsnap $VG/lvext4 >/dev/null && mount -o ro /dev/$VG/adminsnap /mnt/adm
echo "/mnt/ext4:/dev/mapper/$VG-adminsnap:/" > $S/snap.info
"$ZRSNAP" cleanup --state-dir $S --log $S.log
check "ownership: nothing unmounted" test "$(findmnt -n -o SOURCE /mnt/adm)" = "/dev/mapper/$VG-adminsnap"
check "ownership: the log says why" grep -q "Refusing to unmount /: lvm: / holds" $S.log
umount /mnt/adm
echo "/mnt/ext4:/dev/mapper/$VG-adminsnap:/" > $S/snap.info
"$ZRSNAP" cleanup --state-dir $S --log $S.log
check "ownership: administrator's snapshot not deleted" lvs $VG/adminsnap
check "ownership: the log says why not" grep -q "Refusing to delete $VG/adminsnap" $S.log
lvremove -qy $VG/adminsnap >/dev/null

echo "== guest: $NFAIL failure(s), uptime $(cut -d' ' -f1 /proc/uptime)s"
[ $NFAIL = 0 ]
