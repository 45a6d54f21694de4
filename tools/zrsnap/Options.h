// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// Exit statuses of zrsnap (documented in its --help).
enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitSignalBase = 128 };

// A mistake in the command line or the configuration: exit status 2.
struct UsageError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Command line of the reference host.
struct Options {
  std::string command;  // run, cleanup, status, sim, demo, help
  std::string kind = "native";
  std::string stateDir;  // default for the three job paths
  std::string record, map, mountRoot;
  std::string engine;  // lvm, sim, ... (empty: the configuration decides)
  std::string simDir;  // the simulated engine's folder
  std::string plugin;
  bool pluginGiven = false;  // by --plugin or $ZRSNAP_PLUGIN, not the default
  std::string logFile;
  std::string exec;
  int logLevel = 0;
  bool quiet = false;  // -q: nothing on stderr unless the command fails
  bool dc = false;
  bool json = false;
  bool allowLive = false;
  bool help = false;
  bool version = false;
  std::list<std::string> paths;  // run: content paths; sim and help: their words
  std::set<std::string> given;   // every option on the command line, as spelled
};

// Parses argv; throws UsageError with a one-line reason.
Options ParseOptions(int argc, char** argv);
// Fills the job paths from the state folder where they were not given, and makes
// every path absolute, so that the record names the same files from any folder.
void ApplyDefaults(Options& o);
std::string UsageFor(const std::string& command);
// The version line of this build, as the plug-in's ZrVersion section holds it.
const char* VersionLine();
