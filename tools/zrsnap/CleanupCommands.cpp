// SPDX-License-Identifier: Apache-2.0
#include <cstdio>

#include "zr/FileLock.h"
#include "zr/ZrException.h"
#include "zrsnap/Commands.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"
#include "zrsnap/JobSignals.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Output.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"
#include "zrsnap/StatusJson.h"
#include "zrsnap/StatusReport.h"

namespace {
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
void PrintContext(const std::string& record, pid_t holder, const std::string& engine,
                  const std::string& configuration) {
  Print("record        %s\n", record.c_str());
  Print("in use        %s\n", HolderText(holder).c_str());
  Print("engine        %s\n", engine.c_str());
  Print("configuration %s\n", configuration.c_str());
}

// While a job holds the record, its entries come and go: say what is seen now, never "gone".
std::string StateOf(const RecordEntry& e, const std::string& leftovers, bool inUse) {
  if (!e.valid) return "invalid line";
  if (e.exists) return e.mounted ? "mounted" : "exists, not mounted";
  if (e.presence == FlrSnapOS::Presence::Unknown) return "unknown (" + e.reason + ")";
  if (!leftovers.empty()) return "gone, but " + leftovers;
  return inUse ? "not there now" : "gone";
}

void PrintStatus(const Options& o, const StatusReport& report) {
  PrintContext(o.record, report.holder, report.engine, report.configuration);
  if (report.entries.empty()) {
    Print("%s names no snapshot%s\n", o.record.c_str(), report.holder ? " now" : "");
  }
  for (size_t i = 0; i < report.entries.size(); ++i) {
    const RecordEntry& e = report.entries[i];
    std::string state = StateOf(e, report.leftovers[i], report.holder != 0);
    if (!e.valid) {
      Print("%-20s %s\n", state.c_str(), e.line.c_str());
    } else {
      Print("%-20s %s  device %s  at %s\n", state.c_str(), e.source.c_str(), e.device.c_str(), e.mountDir.c_str());
      if (!report.holders[i].empty()) Print("%-20s held by %s\n", "", report.holders[i].describe().c_str());
    }
  }
  for (auto& s : report.unrecorded) {
    std::string where = s.mountedOn.empty() ? "" : "  mounted on " + s.mountedOn.front();
    Print("%-20s %s  device %s  of %s%s\n", "not in this record", s.snap->name.c_str(),
          s.snap->rdev.getSpecial().c_str(), s.origin.c_str(), where.c_str());
  }
}

// Every failure of status is exit status 2, so that 1 always means "snapshots recorded".
int StatusFailed(const Options& o, const std::string& why) {
  TellFailure(why);
  if (o.json) Print("%s\n", StatusErrorJson(o, why).dump(2).c_str());
  return kStatusError;
}
}  // namespace

int ShowStatus(const Options& o) {
  try {
    SelectEngine(o);
    StatusReport report = GatherStatus(o);
    if (o.json) {
      Print("%s\n", StatusJson(o, report).dump(2).c_str());
    } else {
      PrintStatus(o, report);
    }
    return report.entries.empty() ? kStatusNothingRecorded : kStatusSnapshotsRecorded;
  } catch (const ZrException& e) {
    return StatusFailed(o, e.formatError());
  } catch (const std::exception& e) {
    return StatusFailed(o, e.what());
  }
}

int CleanupRecord(const Options& o) {
  RecordPathProblem problem = CheckRecordPath(o.record);
  if (problem.kind == RecordPathProblem::NoFolder) {
    TellProgress(problem.text + ": nothing is recorded there, nothing was removed");
    return kExitOk;
  }
  if (problem.kind != RecordPathProblem::None) throw UsageError(problem.text);
  JobSignals signals("the clean-up goes on to its end");
  PrintContext(o.record, zr::LockHolder(o.record + ".lock"), DescribeEngine(o), DescribeConfiguration());
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
  for (auto& line : r.lines) Print("%-9s %s\n", Label(line.first), line.second.c_str());
  Print("%zu snapshot(s) removed, %zu entr%s without a snapshot dropped, %zu remain recorded in %s\n", r.removed,
        r.dropped, r.dropped == 1 ? "y" : "ies", r.remaining, o.record.c_str());
  if (r.unknown) {
    Print(
        "%zu of them unknown: the engine cannot see whether their snapshots still exist; they stay recorded "
        "until it can (see README, Recovery)\n",
        r.unknown);
  }
  if (int signal = JobSignals::received()) return kExitSignalBase + signal;
  return r.remaining == 0 ? kExitOk : kExitFailed;
}
