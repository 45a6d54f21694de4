#include <cstdio>

#include "zrsnap/Commands.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace {
const char* StateOf(const RecordEntry& e) {
  if (!e.valid) return "invalid line";
  if (!e.exists) return "gone";
  return e.mounted ? "mounted" : "exists, not mounted";
}

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

// What status and cleanup work on, said first so that a wrong engine or file shows.
void PrintContext(const Options& o) {
  std::printf("record        %s\n", o.record.c_str());
  std::printf("engine        %s\n", DescribeEngine(o).c_str());
  std::printf("configuration %s\n", DescribeConfiguration().c_str());
}

// What status knows, kept apart from how it is printed.
struct StatusReport {
  std::vector<RecordEntry> entries;
};

StatusReport GatherStatus(const Options& o) {
  RecordPathProblem problem = CheckRecordPath(o.record);
  if (problem.kind != RecordPathProblem::None) throw UsageError(problem.text);
  return StatusReport{ReadRecordStatus(o.record, SlotOf(o))};
}

void PrintStatus(const Options& o, const StatusReport& report) {
  PrintContext(o);
  if (report.entries.empty()) {
    std::printf("%s names no snapshot\n", o.record.c_str());
    return;
  }
  for (auto& e : report.entries) {
    if (!e.valid) {
      std::printf("%-20s %s\n", StateOf(e), e.line.c_str());
    } else {
      std::printf("%-20s %s  device %s  at %s\n", StateOf(e), e.source.c_str(), e.device.c_str(), e.mountDir.c_str());
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
  PrintContext(o);
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
