// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/BtrfsRule.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace FlrSnapOS {
namespace {
// The number of devices of the mounted btrfs that holds blockName; -1 when none does.
int DevicesOf(const std::string& sysFsBtrfs, const std::string& blockName) {
  std::error_code ec;
  for (auto& fsid : fs::directory_iterator(sysFsBtrfs, ec)) {
    fs::path devices = fsid.path() / "devices";
    if (blockName.empty() || !fs::exists(devices / blockName, ec)) continue;
    int count = 0;
    for (auto it = fs::directory_iterator(devices, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      ++count;
    return count;
  }
  return -1;
}
}  // namespace

std::string BtrfsSnapshotRefusal(const std::string& sysFsBtrfs, const std::string& blockName) {
  std::error_code ec;
  if (!fs::exists(fs::path(sysFsBtrfs) / "features" / "temp_fsid", ec)) {
    return "this kernel has no btrfs temp_fsid, so mounting the copy beside its origin can corrupt data";
  }
  int devices = DevicesOf(sysFsBtrfs, blockName);
  if (devices == 1) return "";
  if (devices < 0) return "the kernel lists no mounted btrfs on " + (blockName.empty() ? "it" : blockName);
  return "it spans " + std::to_string(devices) +
         " devices, and the kernel mounts a copy beside its origin only for a single-device btrfs";
}
}  // namespace FlrSnapOS
