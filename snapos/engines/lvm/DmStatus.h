// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace DmStatus {
// What a device-mapper target's status line says about lost data, in words
// that follow the volume's name ("overflowed", "ran out of data space"), or ""
// while nothing was lost.

// A "snapshot" target: "Invalid", "Merge failed", "Overflow", else its usage.
ZR_API std::string SnapshotDamage(const std::string& status);
// A "thin-pool" target: "Fail" or "Error".
ZR_API std::string ThinPoolDamage(const std::string& status);
// A "thin-pool" target whose mode is out_of_data_space or ro, or that carries
// needs_check: writes to its volumes fail or wait, but what its thin snapshots
// hold still reads whole, so a backup from them is complete.
ZR_API std::string ThinPoolTrouble(const std::string& status);
// How full a "snapshot" target's copy-on-write space is ("used/total
// metadata" in sectors), in percent; false for any other status.
ZR_API bool SnapshotFill(const std::string& status, double& percent);
// How full a "thin-pool" target's data and metadata are ("transaction
// used/total-meta used/total-data ..."), in percent; false otherwise.
ZR_API bool PoolFill(const std::string& status, double& data, double& metadata);
// A "thin" target: "Fail" once its pool failed.
ZR_API std::string ThinDamage(const std::string& status);
}  // namespace DmStatus
}  // namespace FlrSnapOS
