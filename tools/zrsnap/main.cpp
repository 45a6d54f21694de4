// SPDX-License-Identifier: Apache-2.0
// zrsnap: reference host of the snapshot manager plug-in.
#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "zr/LogWriter.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"
#include "zrsnap/CommandRules.h"
#include "zrsnap/Commands.h"
#include "zrsnap/ConfigCheck.h"
#include "zrsnap/EngineChoice.h"
#include "zrsnap/HostLog.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Output.h"
#include "zrsnap/StatusReport.h"

namespace {
// `zrsnap help run` is `zrsnap run --help`; `zrsnap` alone is a usage error.
int Help(const Options& o) {
  std::string topic = o.command == "help" ? (o.paths.empty() ? "" : o.paths.front()) : o.command;
  bool asked = o.help || o.command == "help";
  if (asked) {
    Print("%s", UsageFor(topic).c_str());
  } else {
    std::fputs(UsageFor(topic).c_str(), stderr);
  }
  return asked ? kExitOk : kExitUsage;
}

void InstallLog(const Options& o) {
  try {
    std::unique_ptr<CStreamLogWriter> out(o.logFile.empty() ? new CStreamLogWriter(o.logLevel)
                                                            : new CStreamLogWriter(o.logLevel, o.logFile));
    // -q holds back what goes to stderr; a log file gets every line at once.
    g_ptrLogWriter = boost::make_shared<HostLogWriter>(std::move(out), o.quiet && o.logFile.empty(), o.quiet);
  } catch (const ZrException& e) {
    throw UsageError(e.formatError());
  }
  UseLogFile(!o.logFile.empty());
}

// -q: what was held back is said only when the command failed (for status,
// 1 says that snapshots are recorded, not that it failed).
int Finish(const std::string& command, int status) {
  const bool failed = command == "status" ? status == kStatusError : status != kExitOk;
  if (HostLogWriter* log = HostLog()) {
    if (failed) log->release();
  }
  return status;
}

// The plug-in reads the same file from any folder it may change to.
void CheckConfigurationFile() {
  if (ZRPlatformInfo::PathIsNamed()) {
    ::setenv("ZRSNAP_CONFIG", std::filesystem::absolute(ZRPlatformInfo::DefaultPath()).lexically_normal().c_str(), 1);
  }
  ConfigProblems problems = CheckConfiguration();
  for (auto& warning : problems.warnings) TellFailure(warning);
  if (!problems.error.empty()) throw UsageError(problems.error);
}

int Dispatch(const Options& o) {
  if (o.command == "demo") return RunDemo(o);
  if (o.command == "sim") return SimVolumes(o);
  if (o.command != "run" && o.command != "cleanup" && o.command != "status") {
    throw UsageError("unknown command " + o.command + " (try zrsnap --help)");
  }
  // status answers every failure itself, with its own exit status.
  if (o.command == "status") return ShowStatus(o);
  SelectEngine(o);
  if (o.command == "run") return RunJob(o);
  return CleanupRecord(o);
}

// What was asked for but not written is a failure, said after the teardown:
// status keeps 1 for "snapshots recorded", so its failure is 2.
int LostOutputStatus(const std::string& command, int status) {
  if (command == "status") return kStatusError;
  return status == kExitOk ? kExitFailed : status;
}

int Main(int argc, char** argv, std::string& command) {
  try {
    Options o = ParseOptions(argc, argv);
    command = o.command;
    if (o.version) {
      Print("zrsnap %s", VersionLine());
      return kExitOk;
    }
    if (!o.command.empty() && !o.help) CheckCommandLine(o);  // --help explains whatever else was given
    if (o.help || o.command.empty() || o.command == "help") return Help(o);
    ApplyDefaults(o);
    InstallLog(o);
    CheckConfigurationFile();
    return Dispatch(o);
  } catch (const std::invalid_argument& e) {
    TellFailure(e.what());
    return kExitUsage;
  } catch (const ZrException& e) {
    TellFailure(e.formatError());
    return kExitFailed;
  } catch (const std::exception& e) {
    TellFailure(e.what());
    return kExitFailed;
  }
}
}  // namespace

int main(int argc, char** argv) {
  IgnoreBrokenPipes();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps our lines in order with the log's on a terminal or pipe
  std::string command;
  int status = Main(argc, argv, command);
  return Finish(command, OutputLost() ? LostOutputStatus(command, status) : status);
}
