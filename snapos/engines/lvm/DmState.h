// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace DmState {
// What LVM changes leave behind without running lvm: one entry per
// device-mapper device ("dm:<name>" -> "<major:minor> <uuid>", from /sys/block)
// and per metadata backup ("backup:<vg>" -> its modification time).
using Signature = std::map<std::string, std::string>;

ZR_API Signature Read(const std::string& sysBlock = "/sys/block", const std::string& backupDir = "/etc/lvm/backup");
// True when every entry that differs between the two is one of keys.
ZR_API bool OnlyTouches(const Signature& before, const Signature& after, const std::set<std::string>& keys);
// The kernel's numbers of dm device name as the signature holds them; false when it has none.
ZR_API bool KernelNumbers(const Signature& signature, const std::string& dmName, int& major, int& minor);
// The dm devices whose names start with prefix and that are suspended now.
ZR_API std::vector<std::string> Suspended(const std::string& sysBlock, const std::string& prefix);
// The kernel name ("dm-3") of the block device major:minor, or "".
ZR_API std::string BlockName(const std::string& sysBlock, int major, int minor);

struct Target {
  std::string type;    // "snapshot", "thin-pool", "thin", ...
  std::string status;  // the target's status line
};
// The first target of dm device name; false with errno in err when the kernel cannot say.
ZR_API bool Status(const std::string& dmName, Target& target, int& err);
}  // namespace DmState
}  // namespace FlrSnapOS
