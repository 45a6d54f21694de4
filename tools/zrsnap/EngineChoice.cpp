// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/EngineChoice.h"

#include "FlrSnapOSEngine.h"
#include "engines/sim/SimEngine.h"

FlrSnapOS::FLR_SNAP_ENG SlotOf(const Options& o) {
  return o.kind == "gpfs" ? FlrSnapOS::FLR_SNAP_ENG_GPFS : FlrSnapOS::FLR_SNAP_ENG_NATIVE;
}

void SelectEngine(const Options& o) {
  if (!o.simDir.empty()) {
    auto sim = std::make_shared<FlrSnapOS::SimEngine>(o.simDir);
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, sim);
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, sim);
  } else if (!o.engine.empty()) {
    auto e = FlrSnapOS::makeEngine(o.engine);
    // The native slot also answers for the mount table, so an engine that
    // brings its own (simulated volumes, a configured GPFS mount table) takes both.
    if (o.kind == "native" || o.engine == "sim" || o.engine == "gpfs")
      FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, e);
    if (o.kind == "gpfs") FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, e);
  }
}

std::shared_ptr<FlrSnapOS::SimEngine> SimEngineInUse(const Options& o) {
  return std::dynamic_pointer_cast<FlrSnapOS::SimEngine>(FlrSnapOS::engine(SlotOf(o)));
}

std::string DescribeEngine(const Options& o) {
  if (auto sim = SimEngineInUse(o)) return "sim (folder " + sim->stateDir() + ")";
  return FlrSnapOS::engine(SlotOf(o))->name();
}
