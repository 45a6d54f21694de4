// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
// What lvm's standard error says about a command that failed (LC_ALL=C).
namespace LvmMessages {
// lvm refused the new LV's name: another LV of volume group vg already has it,
// and lvm made nothing ("Logical Volume \"NAME\" already exists in volume group \"VG\"").
ZR_API bool NameTaken(const std::string& err, const std::string& vg, const std::string& name);
// The kernel refused to suspend a device with EBUSY, as it does for one whose
// file system someone froze (fsfreeze --freeze).
ZR_API bool SuspendBusy(const std::string& err);
}  // namespace LvmMessages
}  // namespace FlrSnapOS
