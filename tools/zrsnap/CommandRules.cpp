// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/CommandRules.h"

#include <map>
#include <set>

namespace {
const std::set<std::string> kJobOptions{"--kind",       "--state-dir", "--record",  "--map",
                                        "--mount-root", "--engine",    "--sim-dir", "--plugin"};
const std::set<std::string> kLogOptions{"-v", "-q", "--log"};

struct Rule {
  std::set<std::string> options;  // besides --help and --version, which every command takes
  size_t maxWords;                // words after the command
};

std::set<std::string> Join(std::set<std::string> a, const std::set<std::string>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

const std::map<std::string, Rule>& Rules() {
  static const std::map<std::string, Rule> rules{
      {"run", {Join(Join(kJobOptions, kLogOptions), {"--exec", "--allow-live", "--json", "--dc"}), SIZE_MAX}},
      {"status", {Join(Join(kJobOptions, kLogOptions), {"--json"}), 0}},
      {"cleanup", {Join(kJobOptions, kLogOptions), 0}},
      {"sim", {Join(kLogOptions, {"--sim-dir", "--engine"}), 3}},
      {"demo", {Join(kLogOptions, {"--plugin"}), 0}},
      {"help", {{}, 1}}};
  return rules;
}

// The words past the first `keep`.
std::string Extra(const std::list<std::string>& words, size_t keep) {
  std::string text;
  for (auto& w : words) {
    if (keep > 0) {
      --keep;
      continue;
    }
    text += (text.empty() ? "" : " ") + w;
  }
  return text;
}
}  // namespace

void CheckCommandLine(const Options& o) {
  auto rule = Rules().find(o.command);
  if (rule == Rules().end()) throw UsageError("unknown command " + o.command + " (try zrsnap --help)");
  if (o.given.count("-v") && o.given.count("-q")) throw UsageError("-v and -q contradict each other: give one");
  for (auto& option : o.given) {
    if (option == "--help" || option == "--version" || rule->second.options.count(option)) continue;
    throw UsageError(option + " does not apply to zrsnap " + o.command + " (try zrsnap help " + o.command + ")");
  }
  if (o.command == "help" && !o.paths.empty() && !Rules().count(o.paths.front())) {
    throw UsageError("no help on " + o.paths.front() + ": there is no such command (try zrsnap --help)");
  }
  if (o.paths.size() > rule->second.maxWords) {
    throw UsageError("zrsnap " + o.command + " does not take " + Extra(o.paths, rule->second.maxWords) +
                     " (try zrsnap help " + o.command + ")");
  }
}
