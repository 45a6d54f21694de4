// SPDX-License-Identifier: Apache-2.0
// lvs's JSON report as the LVM engine reads it.
#include <cstdint>
#include <string>

#include "engines/lvm/LvmReport.h"
#include "zr/ZrException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    FlrSnapOS::LvmReport::Parse(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const ZrException&) {
    // A broken report is a clear error; anything else escaping is a finding.
  }
  return 0;
}
