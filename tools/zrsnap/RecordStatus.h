// SPDX-License-Identifier: Apache-2.0
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
  // What the engine knows of its snapshot; reason says why when it is not Present.
  FlrSnapOS::Presence presence = FlrSnapOS::Presence::Unknown;
  std::string reason;
  std::string usage;  // how full the space holding its changes is, when known
};

// All three throw std::runtime_error with the errno text when the file exists but cannot be read:
// an unreadable record must never look empty.
std::vector<RecordEntry> ReadRecordStatus(const std::string& recordFile, FlrSnapOS::FLR_SNAP_ENG slot);
// The entries as written, without asking the engine (exists and mounted stay false).
std::vector<RecordEntry> ParseRecord(const std::string& recordFile);
// The file's non-empty lines, without a trailing carriage return; none when there is no file.
std::vector<std::string> ReadLines(const std::string& path);

// True when a record line's device names snap, by the plug-in's own rule: by
// device identity, or, for a device without a node (an inactive snapshot), by
// the very text that was recorded.
// wanted is the recorded device text's identity.
bool RecordNames(const FlrSnapOS::RDEV& wanted, const FlrSnapOS::Snap& snap);

// Why a record file cannot be there at all, or None when it can.
struct RecordPathProblem {
  enum Kind { None, IsFolder, NoFolder, Unusable } kind = None;
  std::string text;  // "the record file X is a folder", ...
};
RecordPathProblem CheckRecordPath(const std::string& recordFile);

// What a clean-up did to one entry that the record file named before it.
enum class Outcome { Remains, Removed, WasGone, Invalid };

// Asks the engine about the valid entries for which asked is false, in one call.
void AskEngine(std::vector<RecordEntry>& entries, FlrSnapOS::FLR_SNAP_ENG slot, const std::vector<bool>& asked);

// A clean-up of the entries before, judged by the lines it kept.
struct Recovery {
  size_t removed = 0, dropped = 0, remaining = 0;
  size_t unknown = 0;  // of the remaining: entries whose snapshot the engine could not find or rule out
  std::vector<std::pair<Outcome, std::string>> lines;  // each entry of before, in order
};
Recovery CompareRecovery(const std::vector<RecordEntry>& before, const std::vector<std::string>& kept);
