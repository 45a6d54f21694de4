// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/StatusReport.h"

#include <algorithm>

#include "zr/FileLock.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"

namespace {
// Matches each valid entry with the snapshot it names, from one view of the engine.
void MatchEntries(StatusReport& report, std::vector<SeenSnapshot> census, FlrSnapOS::FLR_SNAP_ENG slot) {
  std::vector<bool> named(census.size(), false);
  std::vector<bool> matched;
  for (auto& e : report.entries) {
    std::vector<std::string> mountedOn;
    if (e.valid) {
      FlrSnapOS::RDEV wanted(e.device);
      for (size_t i = 0; i < census.size() && !e.exists; ++i) {
        if (!RecordNames(wanted, *census[i].snap)) continue;
        named[i] = true;
        e.exists = true;
        e.presence = FlrSnapOS::Presence::Present;
        e.mounted = census[i].mounted;
        e.usage = census[i].snap->usage();
        mountedOn = census[i].mountedOn;
      }
    }
    matched.push_back(e.exists);
    report.mountedOn.push_back(mountedOn);
  }
  // Not in the listing proves nothing: the engine is asked for each by name.
  AskEngine(report.entries, slot, matched);
  for (auto& e : report.entries) {
    report.leftovers.push_back(e.valid && !e.exists ? FlrSnapOS::leftoversOf(e.device, e.mountDir) : "");
  }
  for (size_t i = 0; i < census.size(); ++i) {
    if (!named[i]) report.unrecorded.push_back(census[i]);
  }
}

// What would make the teardown of each mounted snapshot fail with EBUSY.
void FindHolders(StatusReport& report) {
  for (size_t i = 0; i < report.entries.size(); ++i) {
    zr::Holders found;
    for (auto& dir : report.mountedOn[i]) {
      zr::Holders h = zr::ProcessesHolding(dir);
      found.processes.insert(found.processes.end(), h.processes.begin(), h.processes.end());
      found.unexamined = std::max(found.unexamined, h.unexamined);
      if (found.unexaminedWhy.empty()) found.unexaminedWhy = h.unexaminedWhy;
    }
    dev_t device = report.entries[i].exists ? FlrSnapOS::RDEV(report.entries[i].device).devNumber : 0;
    if (device) found.devices = zr::DeviceHolders(device);
    report.holders.push_back(found);
  }
}
}  // namespace

StatusReport GatherStatus(const Options& o) {
  RecordPathProblem problem = CheckRecordPath(o.record);
  if (problem.kind != RecordPathProblem::None) throw UsageError(problem.text);
  StatusReport report;
  report.holder = zr::LockHolder(o.record + ".lock");
  report.engine = DescribeEngine(o);
  report.configuration = DescribeConfiguration();
  report.entries = ParseRecord(o.record);
  MatchEntries(report, TakeCensus(SlotOf(o)), SlotOf(o));
  FindHolders(report);
  return report;
}
