// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
// Why a mounted device is no logical volume although one lies beneath it: for a
// device-mapper device that is not an LV itself (dm-crypt, multipath) over one
// or more LVs, "<device> is the dm-crypt device dm-3 (secret) over the logical
// volume vg/lv". "" for anything else (an LV, a disk, a partition, a path
// that is not a block device). The kernel's view under sysRoot.
ZR_API std::string deviceAboveLv(const std::string& device, const std::string& sysRoot = "/sys");
// The same for the block device major:minor, named device in the text.
ZR_API std::string deviceAboveLv(const std::string& device, unsigned major, unsigned minor, const std::string& sysRoot);
}  // namespace FlrSnapOS
