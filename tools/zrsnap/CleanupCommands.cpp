#include <cstdio>

#include "zr/FileLock.h"
#include "zrsnap/Commands.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace {
// What status knows, kept apart from how it is printed.
struct StatusReport {
  pid_t holder = 0;  // the job that holds the record file: 0 none, -1 one that has not said who it is yet
  std::vector<RecordEntry> entries;
  std::vector<std::string> leftovers;  // per entry: what remains on the system of a snapshot the engine lacks
};

const char* Label(Outcome outcome) {
  switch (outcome) {
    case Outcome::Remains:
      return "remains";
    case Outcome::Removed:
      return "removed";
    case Outcome::WasGone:
      return "was gone";
    case Outcome::Invalid:
      break;
  }
  return "invalid";
}

std::string HolderText(pid_t holder) {
  if (holder == 0) return "no";
  if (holder < 0) return "yes, by a job that has not written its process number yet";
  return "by process " + std::to_string(holder);
}

// What status and cleanup work on, said first so that a wrong engine or file shows.
void PrintContext(const Options& o, pid_t holder) {
  std::printf("record        %s\n", o.record.c_str());
  std::printf("in use        %s\n", HolderText(holder).c_str());
  std::printf("engine        %s\n", DescribeEngine(o).c_str());
  std::printf("configuration %s\n", DescribeConfiguration().c_str());
}

// While a job holds the record, its entries come and go: say what is seen now, never "gone".
std::string StateOf(const RecordEntry& e, const std::string& leftovers, bool inUse) {
  if (!e.valid) return "invalid line";
  if (e.exists) return e.mounted ? "mounted" : "exists, not mounted";
  if (!leftovers.empty()) return "unknown to the engine, but " + leftovers;
  return inUse ? "not there now" : "gone";
}

StatusReport GatherStatus(const Options& o) {
  RecordPathProblem problem = CheckRecordPath(o.record);
  if (problem.kind != RecordPathProblem::None) throw UsageError(problem.text);
  StatusReport report;
  report.holder = zr::LockHolder(o.record + ".lock");
  report.entries = ReadRecordStatus(o.record, SlotOf(o));
  for (auto& e : report.entries) {
    report.leftovers.push_back(e.valid && !e.exists ? FlrSnapOS::leftoversOf(e.device, e.mountDir) : "");
  }
  return report;
}

void PrintStatus(const Options& o, const StatusReport& report) {
  PrintContext(o, report.holder);
  if (report.entries.empty()) {
    std::printf("%s names no snapshot%s\n", o.record.c_str(), report.holder ? " now" : "");
    return;
  }
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const RecordEntry& e = report.entries[i];
    std::string state = StateOf(e, report.leftovers[i], report.holder != 0);
    if (!e.valid) {
      std::printf("%-20s %s\n", state.c_str(), e.line.c_str());
    } else {
      std::printf("%-20s %s  device %s  at %s\n", state.c_str(), e.source.c_str(), e.device.c_str(),
                  e.mountDir.c_str());
    }
  }
}
}  // namespace

int ShowStatus(const Options& o) {
  PrintStatus(o, GatherStatus(o));
  return kExitOk;
}

int CleanupRecord(const Options& o) {
  RecordPathProblem problem = CheckRecordPath(o.record);
  if (problem.kind == RecordPathProblem::NoFolder) {
    TellProgress(problem.text + ": nothing is recorded there, nothing was removed");
    return kExitOk;
  }
  if (problem.kind != RecordPathProblem::None) throw UsageError(problem.text);
  PrintContext(o, zr::LockHolder(o.record + ".lock"));
  auto before = ReadRecordStatus(o.record, SlotOf(o));
  Plugin plugin(o.plugin);
  auto manager = plugin.create(o.kind);
  // Exactly what the start of the next job does.
  CNeError started = manager->Initialize(false, o.record, o.map, o.mountRoot);
  if (started.IsError()) {
    TellFailure("cleanup of " + o.record + " failed: " + started.Message());
    return kExitFailed;
  }
  Recovery r = CompareRecovery(before, ReadLines(o.record));
  for (auto& line : r.lines) std::printf("%-9s %s\n", Label(line.first), line.second.c_str());
  std::printf("%zu snapshot(s) removed, %zu entr%s without a snapshot dropped, %zu remain recorded in %s\n", r.removed,
              r.dropped, r.dropped == 1 ? "y" : "ies", r.remaining, o.record.c_str());
  return r.remaining == 0 ? kExitOk : kExitFailed;
}
