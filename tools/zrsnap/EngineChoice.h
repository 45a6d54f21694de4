// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <memory>
#include <string>

#include "FlrSnapOS.h"
#include "zrsnap/Options.h"

namespace FlrSnapOS {
class SimEngine;
}

// The slot of the snapshot OS layer that the manager of o.kind uses.
FlrSnapOS::FLR_SNAP_ENG SlotOf(const Options& o);
// Installs the engine that the options name (the configuration decides otherwise).
void SelectEngine(const Options& o);
// The engine a job of these options uses, as "sim (folder /x)" or "lvm".
std::string DescribeEngine(const Options& o);
// The simulated engine in use, or null when another engine is.
std::shared_ptr<FlrSnapOS::SimEngine> SimEngineInUse(const Options& o);
