#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Boots the real-LVM guest and runs lvm-job-vs-raw-guest.sh there (not a test: prints ratios).
# Usage: bench/lvm-job-vs-raw.sh [ZRSNAP_BINARY] [ROUNDS]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ZRSNAP=$(realpath "${1:-$HERE/../build/tools/zrsnap}")
WORK=${ZRSNAP_VM_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zrsnap-vm}
"$HERE/../tests/vm/setup.sh" "$WORK" >/dev/null
OUT=$WORK/out-bench WORK=$WORK TIMEOUT=1200 "$HERE/../tests/vm/run-vm.sh" "$HERE/lvm-job-vs-raw-guest.sh" "$ZRSNAP" "${2:-5}" \
    | sed -n -E 's/^\[ *[0-9.]+\] ((INFO|FAIL).*)/\1/p'
