// SPDX-License-Identifier: Apache-2.0
// The machine-readable (-Y) output of the GPFS commands.
#include <cstdint>
#include <string>

#include "engines/gpfs/GpfsY.h"
#include "zr/ZrException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    for (auto& row : FlrSnapOS::GpfsY::Parse(std::string(reinterpret_cast<const char*>(data), size), "mmlssnapshot")) {
      FlrSnapOS::GpfsY::Get(row, "snapshotName");
    }
  } catch (const ZrException&) {
  }
  return 0;
}
