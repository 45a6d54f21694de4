// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "zr/Holders.h"
#include "zrsnap/Options.h"
#include "zrsnap/RecordStatus.h"
#include "zrsnap/SnapshotCensus.h"

// Exit statuses of zrsnap status, for scripts.
enum StatusExit { kStatusNothingRecorded = 0, kStatusSnapshotsRecorded = 1, kStatusError = 2 };

// What status knows, kept apart from how it is printed.
struct StatusReport {
  pid_t holder = 0;  // the job that holds the record file: 0 none, -1 one that has not said who it is yet
  std::string engine, configuration;  // which engine and configuration file it was asked through
  std::vector<RecordEntry> entries;
  std::vector<std::string> leftovers;               // per entry: what remains of a snapshot the engine lacks
  std::vector<std::vector<std::string>> mountedOn;  // per entry: where its snapshot is mounted now
  std::vector<zr::Holders> holders;                 // per entry: what keeps its mounted snapshot busy
  // Snapshots with a manager's prefix that no entry names: another record file may own them.
  std::vector<SeenSnapshot> unrecorded;
};

// Throws UsageError when the record file cannot be there, std::exception when a
// part cannot be read.
StatusReport GatherStatus(const Options& o);
