#pragma once
#include <list>
#include <string>
#include <vector>

// Command line of the reference host.
struct Options {
  std::string command;  // run, cleanup, status, demo
  std::string kind = "native";
  std::string stateDir;  // default for the three job paths
  std::string record, map, mountRoot;
  std::string engine;  // lvm, sim, ... (empty: the configuration decides)
  std::string simDir;  // the simulated engine's folder
  std::string plugin;
  std::string logFile;
  std::string exec;
  int logLevel = 0;
  bool dc = false;
  bool json = false;
  bool help = false;
  std::list<std::string> paths;
};

// Parses argv; throws std::invalid_argument with a one-line reason.
Options ParseOptions(int argc, char** argv);
// Fills the job paths from the state folder where they were not given.
void ApplyDefaults(Options& o);
std::string UsageFor(const std::string& command);
