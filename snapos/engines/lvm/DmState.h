#pragma once
#include <map>
#include <set>
#include <string>

namespace FlrSnapOS {
namespace DmState {
// What LVM changes leave behind without running lvm: one entry per
// device-mapper device ("dm:<name>" -> "<major:minor> <uuid>", from /sys/block)
// and per metadata backup ("backup:<vg>" -> its modification time).
using Signature = std::map<std::string, std::string>;

Signature Read(const std::string& sysBlock = "/sys/block", const std::string& backupDir = "/etc/lvm/backup");
// True when every entry that differs between the two is one of keys.
bool OnlyTouches(const Signature& before, const Signature& after, const std::set<std::string>& keys);
// True when the kernel reports the snapshot target of dm device name as
// invalid (its copy-on-write space overflowed); false when it cannot tell.
bool SnapshotInvalid(const std::string& dmName);
}  // namespace DmState
}  // namespace FlrSnapOS
