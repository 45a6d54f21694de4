// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the reference host's end-to-end tests share: a fresh folder with
// simulated volumes, zrsnap run as a child (waited for or in the background),
// and bounded waits for what other processes do.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engines/sim/SimEngine.h"
#include "zr/CommandRunner.h"

namespace host {
namespace fs = std::filesystem;
using Environment = std::vector<std::pair<std::string, std::string>>;

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& text);
// Occurrences of needle in text.
size_t Count(const std::string& text, const std::string& needle);
// Polls until done() holds or about 30 s passed; the result is done()'s last answer.
// Only a bound against a hang: tests assert what happened, never how fast.
bool Eventually(const std::function<bool()>& done);
// No such process, or only its zombie.
bool ProcessGone(pid_t pid);

// zrsnap started in the background, its output going to files.
class Background {
 public:
  // Standard output and error go to files in outputs, or to these descriptors when not -1.
  Background(const std::vector<std::string>& args, const Environment& env, const fs::path& outputs, int out = -1,
             int err = -1);
  ~Background();
  pid_t pid() const { return m_pid; }
  // The wait status.
  int wait();
  // The same, but a zrsnap that has not ended after the bound of Eventually is killed.
  int waitBounded();
  std::string err() const { return ReadFile(m_outputs / "stderr"); }

 private:
  pid_t m_pid = -1;
  fs::path m_outputs;
};

// A fresh folder with two simulated volumes, simvg-a and simvg-b, each holding sub/<file>.
class SimHost {
 protected:
  void makeHost(const std::string& kind);
  void removeHost();
  fs::path makeVolume(const std::string& device, const std::string& file, const std::string& text);
  // zrsnap args plus the engine, state folder and kind of this host; cwd "" is ours.
  std::vector<std::string> argv(const std::vector<std::string>& args) const;
  zr::CommandResult zrsnap(const std::vector<std::string>& args, const Environment& env = {},
                           const std::string& cwd = "") const;
  size_t snapshots() const { return sim->state().snapshots.size(); }
  std::string record() const { return ReadFile(top / "state/snap.info"); }

  std::string kind = "native";
  fs::path top, a, b;
  std::shared_ptr<FlrSnapOS::SimEngine> sim;
};

// Runs ZRSNAP_BINARY with exactly these arguments.
zr::CommandResult Zrsnap(const std::vector<std::string>& args, const Environment& env = {},
                         const std::string& cwd = "");
}  // namespace host
