// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
// A block-level snapshot of btrfs carries its origin's file-system UUID. Kernels
// before 6.7 take both for one file system when both are mounted, which can
// corrupt data; later kernels mount such a copy beside its origin under a
// temporary UUID (sysfs feature temp_fsid), and only for a single-device btrfs.
// Returns why a snapshot of the btrfs on block device blockName ("dm-3") must
// not be mounted, or "" when it may.
ZR_API std::string BtrfsSnapshotRefusal(const std::string& sysFsBtrfs, const std::string& blockName);
}  // namespace FlrSnapOS
