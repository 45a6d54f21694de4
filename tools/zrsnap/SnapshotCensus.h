// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <vector>

#include "FlrSnapOS.h"

// A snapshot with a manager's prefix as the engine reports it now.
struct SeenSnapshot {
  SP<FlrSnapOS::Snap> snap;
  std::string origin;                  // the volume it was taken of
  bool mounted = false;                // the engine says it is mounted
  std::vector<std::string> mountedOn;  // where the mount table shows it
};

// Every snapshot with a manager's prefix among the volumes of slot, each with the
// mount points of the mount table (the native slot's) where it is mounted.
std::vector<SeenSnapshot> TakeCensus(FlrSnapOS::FLR_SNAP_ENG slot);
