// SPDX-License-Identifier: Apache-2.0
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "engines/sim/SimEngine.h"
#include "zr/CNeDirectory.h"
#include "zr/FXPath.h"
#include "zrsnap/BackupCommand.h"
#include "zrsnap/Commands.h"
#include "zrsnap/EngineChoice.h"
#include "zrsnap/Hint.h"
#include "zrsnap/JobSignals.h"
#include "zrsnap/LiveContent.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Output.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace {
using Pairs = std::map<std::string, std::string>;
using Environment = std::vector<std::pair<std::string, std::string>>;

void PrintMap(const Pairs& pairs, bool json) {
  if (json) {
    Print("%s\n", nlohmann::json(pairs).dump(2).c_str());
    return;
  }
  size_t width = 6;
  for (auto& p : pairs) width = std::max(width, p.first.size());
  Print("%-*s  %s\n", static_cast<int>(width), "SOURCE", "SNAPSHOT");
  for (auto& p : pairs) Print("%-*s  %s\n", static_cast<int>(width), p.first.c_str(), p.second.c_str());
}

Environment ExecEnvironment(const Pairs& pairs, const std::vector<LivePath>& live) {
  Environment env;
  env.emplace_back("ZRSNAP_MAP_JSON", nlohmann::json(pairs).dump());
  env.emplace_back("ZRSNAP_SNAPSHOT_COUNT", std::to_string(pairs.size()));
  int n = 0;
  for (auto& p : pairs) {
    ++n;
    env.emplace_back("ZRSNAP_SOURCE_" + std::to_string(n), p.first);
    env.emplace_back("ZRSNAP_SNAPSHOT_" + std::to_string(n), p.second);
  }
  env.emplace_back("ZRSNAP_LIVE_COUNT", std::to_string(live.size()));
  for (size_t i = 0; i < live.size(); ++i) env.emplace_back("ZRSNAP_LIVE_" + std::to_string(i + 1), live[i].path);
  return env;
}

// The start of a job removes what an earlier one left: say what it did.
void ReportRecovery(const Options& o, const std::vector<RecordEntry>& before) {
  if (before.empty()) return;
  Recovery r = CompareRecovery(before, ReadLines(o.record));
  TellProgress(o.record + " named " + std::to_string(before.size()) + " entr" + (before.size() == 1 ? "y" : "ies") +
               " of an earlier job: " + std::to_string(r.removed) + " snapshot(s) removed, " +
               std::to_string(r.dropped) + " without a snapshot dropped, " + std::to_string(r.remaining) +
               " still recorded");
}

// A path outside every simulated volume is refused by the plug-in for reasons that point
// elsewhere ("belongs to /"): name the cause.
void ExplainSimRefusal(const Options& o) {
  auto sim = SimEngineInUse(o);
  if (!sim) return;
  auto volumes = sim->state().volumes;
  for (auto& path : o.paths) {
    bool onVolume = false;
    for (auto& v : volumes) onVolume = onVolume || FXPath::IsUnder(FXPath::Resolve(path), v.path);
    if (onVolume) continue;
    TellFailure(path + " is on no volume of the simulated engine (folder " + sim->stateDir() +
                "); register a folder that holds it with: " + SameEngineCommand(o, "sim add NAME DIR"));
  }
}

std::string Describe(const BackupEnd& end) {
  if (end.signal)
    return "the backup command was killed by signal " + std::to_string(end.signal) + " (" + ::strsignal(end.signal) +
           ")";
  return "the backup command exited with status " + std::to_string(end.exitStatus);
}

int ExitStatusOf(const BackupEnd& end) {
  if (end.signal) return kExitSignalBase + end.signal;
  return end.exitStatus;
}

std::string SignalName(int signal) { return ::strsignal(signal); }

// Runs the backup unless a signal came first; 0 when it succeeded, else zrsnap's exit status for it.
int Backup(const Options& o, const Pairs& pairs, const std::vector<LivePath>& live) {
  if (int signal = JobSignals::received()) {
    TellFailure(SignalName(signal) + " received before the backup command started: it is not run");
    return kExitSignalBase + signal;
  }
  TellProgress("running backup command over " + std::to_string(pairs.size()) + " snapshot(s)" +
               (live.empty() ? "" : " and " + std::to_string(live.size()) + " live path(s)"));
  BackupEnd end = RunBackupCommand(o.exec, ExecEnvironment(pairs, live));
  if (int signal = JobSignals::received()) TellFailure(SignalName(signal) + " received: passed to the backup command");
  if (end.exitStatus == 0) return kExitOk;
  TellFailure(Describe(end));
  return ExitStatusOf(end);
}

int TearDown(const Options& o, CKestrelNativeSnapManager& manager) {
  CNeError teardown = manager.UnMountSnap();
  if (teardown.IsError()) TellFailure("teardown failed: " + teardown.Message());
  auto left = ReadLines(o.record);
  if (!left.empty()) {
    TellFailure(std::to_string(left.size()) + " snapshot(s) could not be removed and stay recorded in " + o.record +
                "; remove them later with: " + SameJobCommand(o, "cleanup"));
  }
  return teardown.IsError() || !left.empty() ? kExitFailed : kExitOk;
}

// Without --exec the snapshots stay for the caller, unless a signal said to stop.
int StoppedBeforeTheMap(const Options& o, CKestrelNativeSnapManager& manager, int signal) {
  TellFailure(SignalName(signal) + " received while the snapshots were made: they are removed again");
  TearDown(o, manager);
  return kExitSignalBase + signal;
}

// The backup command and the teardown; a signal received on the way decides the exit status.
int BackUpAndTearDown(const Options& o, CKestrelNativeSnapManager& manager, const std::vector<LivePath>& live) {
  int backup = kExitOk;
  if (!live.empty() && !o.allowLive) {
    TellFailure("refusing to run the backup command: " + std::to_string(live.size()) +
                " content path(s) have no snapshot (--allow-live reads them live)");
    backup = kExitFailed;
  } else {
    backup = Backup(o, manager.GetSourceToLocalMap(), live);
  }
  const int before = JobSignals::received();
  int teardown = TearDown(o, manager);
  if (int signal = JobSignals::received()) {
    if (!before) TellFailure(SignalName(signal) + " received during the teardown, which went on to its end");
    return kExitSignalBase + signal;
  }
  return backup != kExitOk ? backup : teardown;
}
}  // namespace

int RunJob(const Options& o) {
  if (o.paths.empty()) throw UsageError("run needs at least one PATH");
  if (o.allowLive && o.exec.empty()) throw UsageError("--allow-live goes with --exec");
  // Made private, as the plug-in makes its own: others must not enter mounted snapshots.
  for (auto& dir : {o.stateDir, o.mountRoot}) {
    CNeError made = CNeDirectory::CreatePrivate(dir);
    if (made.IsError() && made.Code() != EEXIST) throw std::runtime_error(made.Message());
  }
  JobSignals signals("the job ends with its teardown once the command under way has ended");
  Plugin plugin(o.plugin);
  auto manager = plugin.create(o.kind);
  auto before = ReadRecordStatus(o.record, SlotOf(o));
  CNeError started = manager->Initialize(o.dc, o.record, o.map, o.mountRoot);
  if (started.IsError()) {
    TellFailure("cannot start the job: " + started.Message());
    return kExitFailed;
  }
  ReportRecovery(o, before);
  std::list<std::string> contents = o.paths;
  CNeError err = manager->CreateAndMountSnap(contents);
  if (err.IsError()) {
    TellFailure("snapshot failed: " + err.Message());
    ExplainSimRefusal(o);
    return JobSignals::received() ? kExitSignalBase + JobSignals::received() : kExitFailed;
  }
  auto pairs = manager->GetSourceToLocalMap();
  auto live = PathsWithoutSnapshot(o.paths, pairs, o.kind);
  for (auto& l : live) TellFailure(l.path + " has no snapshot: " + l.why);
  // With --exec the map goes to the command; --json also prints it, for the caller's record.
  if (!o.exec.empty() && o.json) PrintMap(pairs, true);
  if (!o.exec.empty()) return BackUpAndTearDown(o, *manager, live);
  if (int signal = JobSignals::received()) return StoppedBeforeTheMap(o, *manager, signal);
  PrintMap(pairs, o.json);
  TellProgress(std::to_string(pairs.size()) +
               " snapshot(s) stay mounted; remove them with: " + SameJobCommand(o, "cleanup"));
  return kExitOk;
}
