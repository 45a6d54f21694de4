// SPDX-License-Identifier: Apache-2.0
#include <cstdio>

#include "engines/sim/SimEngine.h"
#include "zr/ZRPlatformInfo.h"
#include "zrsnap/Commands.h"
#include "zrsnap/Messages.h"
#include "zrsnap/Output.h"

namespace {
// --sim-dir, else the folder the configuration gives the simulated engine.
std::shared_ptr<FlrSnapOS::SimEngine> Engine(const Options& o) {
  if (!o.simDir.empty()) return std::make_shared<FlrSnapOS::SimEngine>(o.simDir);
  return FlrSnapOS::SimEngine::FromConfig(ZRPlatformInfo());
}

std::vector<std::string> Words(const Options& o, size_t count, const char* usage) {
  std::vector<std::string> words(o.paths.begin(), o.paths.end());
  if (words.size() != count) throw UsageError(std::string("usage: zrsnap ") + usage);
  return words;
}

int List(const FlrSnapOS::SimEngine& sim) {
  auto state = sim.state();
  Print("simulated volumes in %s:\n", sim.stateDir().c_str());
  if (state.volumes.empty()) Print("(none: zrsnap sim add NAME DIR registers one)\n");
  for (auto& v : state.volumes) {
    size_t snapshots = 0;
    for (auto& s : state.snapshots) snapshots += s.origin == v.device ? 1 : 0;
    Print("%-20s %s  %s, %zu snapshot(s)\n", v.device.c_str(), v.path.c_str(), v.active ? "active" : "inactive",
          snapshots);
  }
  return kExitOk;
}
}  // namespace

int SimVolumes(const Options& o) {
  const std::string verb = o.paths.empty() ? "" : o.paths.front();
  if (verb == "list") {
    Words(o, 1, "sim list");
    return List(*Engine(o));
  }
  if (verb == "add") {
    auto words = Words(o, 3, "sim add NAME DIR");
    auto sim = Engine(o);
    sim->addVolume(words[1], words[2]);
    TellProgress("volume " + words[1] + " registered in " + sim->stateDir());
    return kExitOk;
  }
  if (verb == "remove") {
    auto words = Words(o, 2, "sim remove NAME");
    auto sim = Engine(o);
    sim->removeVolume(words[1]);
    TellProgress("volume " + words[1] + " removed from " + sim->stateDir());
    return kExitOk;
  }
  throw UsageError("sim needs add NAME DIR, remove NAME or list (try zrsnap help sim)");
}
