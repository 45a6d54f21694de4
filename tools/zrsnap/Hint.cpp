// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Hint.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "zr/ZRPlatformInfo.h"

namespace fs = std::filesystem;

namespace {
// "zrsnap" when that name finds this very program, else its full path.
std::string ThisProgram() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "zrsnap";
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / "zrsnap";
    if (::access(candidate.c_str(), X_OK) != 0) continue;
    return fs::equivalent(candidate, self, ec) ? "zrsnap" : self.string();
  }
  return self.string();
}
}  // namespace

std::string ShellQuote(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("/._-+=:,@%").find(c) == std::string::npos) {
      plain = false;
    }
  }
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string SameEngineCommand(const Options& o, const std::string& words) {
  std::string line;
  if (ZRPlatformInfo::PathIsNamed()) {
    line +=
        "ZRSNAP_CONFIG=" + ShellQuote(fs::absolute(ZRPlatformInfo::DefaultPath()).lexically_normal().string()) + " ";
  }
  line += ShellQuote(ThisProgram()) + " " + words;
  if (!o.simDir.empty()) {
    line += " --sim-dir " + ShellQuote(o.simDir);
  } else if (!o.engine.empty()) {
    line += " --engine " + ShellQuote(o.engine);
  }
  return line;
}

std::string SameJobCommand(const Options& o, const std::string& words) {
  std::string line = SameEngineCommand(o, words);
  auto add = [&line](const std::string& option, const std::string& value) {
    line += " " + option + " " + ShellQuote(value);
  };
  if (o.kind != "native") add("--kind", o.kind);
  add("--state-dir", o.stateDir);
  if (o.record != o.stateDir + "/snap.info") add("--record", o.record);
  if (o.map != o.stateDir + "/snap.map") add("--map", o.map);
  if (o.mountRoot != o.stateDir + "/mnt") add("--mount-root", o.mountRoot);
  if (o.pluginGiven) add("--plugin", o.plugin);
  return line;
}
