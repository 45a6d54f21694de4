#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The real-LVM tier: boots a throw-away qemu guest with Debian's kernel (this
# machine's kernel has no device-mapper) and runs guest-scenarios.sh in it
# with the given zrsnap binary. Prints the guest's PASS/FAIL/INFO lines and
# returns its status; 77 (skipped, with a message) where qemu cannot run.
# Usage: run-tier.sh ZRSNAP_BINARY [SCENARIO...]   (scenario names: see guest-scenarios.sh)
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ZRSNAP=$(realpath "${1:?usage: run-tier.sh ZRSNAP_BINARY [SCENARIO...]}")
shift
WORK=${ZRSNAP_VM_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zrsnap-vm}
mkdir -p "$WORK"

if ! "$HERE/setup.sh" "$WORK" > "$WORK/setup.log" 2>&1; then
    echo "SKIPPED: the real-LVM tier cannot run here: set-up failed: $(tail -n 1 "$WORK/setup.log")"
    exit 77
fi
if [ ! -r /dev/kvm ] && ! qemu-system-x86_64 -accel help 2>/dev/null | grep -q tcg; then
    echo "SKIPPED: the real-LVM tier cannot run here: qemu has no usable accelerator"
    exit 77
fi

T0=${EPOCHREALTIME/./}
OUT=$WORK/out WORK=$WORK TIMEOUT=${TIMEOUT:-900} "$HERE/run-vm.sh" "$HERE/guest-scenarios.sh" "$ZRSNAP" "$@" > "$WORK/console.txt" 2>&1
rc=$?
sed -n -E 's/^\[ *[0-9.]+\] ((PASS|FAIL|INFO|== ).*)/\1/p' "$WORK/console.txt"
echo "real-LVM tier: guest status $rc, $(( (${EPOCHREALTIME/./} - T0) / 1000 )) ms (console: $WORK/console.txt)"
[ $rc = 0 ] || tail -n 40 "$WORK/console.txt"
exit $rc
