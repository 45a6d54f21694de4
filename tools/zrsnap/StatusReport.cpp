// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/StatusReport.h"

#include "zr/FileLock.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"

namespace {
// Matches each valid entry with the snapshot it names, from one view of the engine.
void MatchEntries(StatusReport& report, std::vector<SeenSnapshot> census) {
  std::vector<bool> named(census.size(), false);
  for (auto& e : report.entries) {
    std::vector<std::string> mountedOn;
    if (e.valid) {
      FlrSnapOS::RDEV wanted(e.device);
      for (size_t i = 0; i < census.size() && !e.exists; ++i) {
        if (!RecordNames(wanted, *census[i].snap)) continue;
        named[i] = true;
        e.exists = true;
        e.mounted = census[i].mounted;
        mountedOn = census[i].mountedOn;
      }
    }
    report.leftovers.push_back(e.valid && !e.exists ? FlrSnapOS::leftoversOf(e.device, e.mountDir) : "");
    report.mountedOn.push_back(mountedOn);
  }
  for (size_t i = 0; i < census.size(); ++i) {
    if (!named[i]) report.unrecorded.push_back(census[i]);
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
  MatchEntries(report, TakeCensus(SlotOf(o)));
  return report;
}
