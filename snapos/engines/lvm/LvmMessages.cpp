// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/LvmMessages.h"

#include <sstream>

namespace FlrSnapOS {
namespace LvmMessages {
// lib/metadata/lv_manip.c, since 2.02.x: "%sLogical Volume \"%s\" already exists in volume group \"%s\"",
// the prefix being "historical " for a removed LV that lvm still remembers.
bool NameTaken(const std::string& err, const std::string& vg, const std::string& name) {
  return err.find("Logical Volume \"" + name + "\" already exists in volume group \"" + vg + "\"") != std::string::npos;
}

// libdm's "device-mapper: suspend ioctl on NAME UUID (MAJ:MIN) failed: Device or resource busy".
bool SuspendBusy(const std::string& err) {
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("device-mapper: suspend ioctl on ") != std::string::npos &&
        line.find(" failed: Device or resource busy") != std::string::npos) {
      return true;
    }
  }
  return false;
}
}  // namespace LvmMessages
}  // namespace FlrSnapOS
