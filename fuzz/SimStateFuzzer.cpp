// SPDX-License-Identifier: Apache-2.0
// The simulated engine's state file as a later process loads it.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "engines/sim/SimState.h"
#include "zr/ZrException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = fuzz::Folder("sim-state");
  fuzz::WriteInput(dir + "/state.json", data, size);
  try {
    FlrSnapOS::SimState::Load(dir);
  } catch (const ZrException&) {
  }
  return 0;
}
