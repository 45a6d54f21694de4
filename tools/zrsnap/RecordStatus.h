#pragma once
#include <string>
#include <vector>

#include "FlrSnapOS.h"

// One line of a snap record file and what the engine says of its snapshot now.
struct RecordEntry {
  std::string line, source, device, mountDir;
  bool valid = false;    // three fields
  bool exists = false;   // the engine still has the snapshot
  bool mounted = false;  // ... and it is mounted
};

std::vector<RecordEntry> ReadRecordStatus(const std::string& recordFile, FlrSnapOS::FLR_SNAP_ENG slot);
std::vector<std::string> ReadLines(const std::string& path);
