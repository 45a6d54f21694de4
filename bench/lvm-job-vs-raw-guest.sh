#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs INSIDE the qemu guest: the cost of a zrsnap job over three volumes
# against the bare commands it stands for (lvcreate, mount, umount, lvremove),
# in alternated rounds. Prints each round and the median ratio job/raw.
# Usage: lvm-job-vs-raw-guest.sh ZRSNAP_BINARY [ROUNDS]
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ZRSNAP=$1
ROUNDS=${2:-5}
. "$HERE/../tests/vm/guest-volumes.sh"
make_volumes || { echo "FAIL volumes"; exit 1; }
mkdir -p /tmp/raw/ext4 /tmp/raw/xfs /tmp/raw/thin /tmp/bench
printf '[SnapOS]\nsEngine=lvm\n[TLM]\nnSnapCowSizeMB=32\n' > /tmp/bench/agent.ini
export ZRSNAP_CONFIG=/tmp/bench/agent.ini
now() { echo "${EPOCHREALTIME/./}"; }

raw() {
    lvcreate -qy -s -L 32M -n raw_ext4 $VG/lvext4 >/dev/null && mount -o ro,nodev,nosuid /dev/$VG/raw_ext4 /tmp/raw/ext4
    lvcreate -qy -s -kn -ay -n raw_thin $VG/thin >/dev/null && mount -o ro,nodev,nosuid /dev/$VG/raw_thin /tmp/raw/thin
    lvcreate -qy -s -L 32M -n raw_xfs $VG/lvxfs >/dev/null && mount -o ro,nodev,nosuid,nouuid /dev/$VG/raw_xfs /tmp/raw/xfs
    for v in ext4 thin xfs; do umount /tmp/raw/$v && lvremove -qy $VG/raw_$v >/dev/null; done
}
job() { "$ZRSNAP" run -q --state-dir /tmp/bench --exec true /mnt/ext4 /mnt/xfs /mnt/thin 2>/dev/null; }

ratios=()
for r in $(seq 1 "$ROUNDS"); do
    t0=$(now); raw || { echo "FAIL raw round"; exit 1; }; t1=$(now)
    job || { echo "FAIL job round"; exit 1; }; t2=$(now)
    ratio=$(awk -v a=$((t2 - t1)) -v b=$((t1 - t0)) 'BEGIN { printf "%.3f", a / b }')
    ratios+=("$ratio")
    echo "INFO round $r: raw $(( (t1 - t0) / 1000 )) ms, job $(( (t2 - t1) / 1000 )) ms, ratio $ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }')
echo "INFO median ratio job/raw over $ROUNDS rounds: $median"
