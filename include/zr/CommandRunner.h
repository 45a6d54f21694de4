#pragma once
#include <string>
#include <utility>
#include <vector>

#include "zr/ZrApi.h"

namespace zr {
struct ZR_API CommandOptions {
  // Seconds before the command is killed (SIGTERM, then SIGKILL); 0 waits forever.
  unsigned timeoutSeconds = 0;
  // Set in the child's environment on top of LC_ALL=C.
  std::vector<std::pair<std::string, std::string>> environment;
  // Keep the child's stdout and stderr (false: they go where ours go).
  bool capture = true;
};

struct ZR_API CommandResult {
  int exitStatus = -1;  // the exit code, or -1 when the command died of a signal
  int signal = 0;       // the signal that ended it, if one did
  bool timedOut = false;
  std::string out;
  std::string err;

  bool ok() const { return exitStatus == 0 && !timedOut; }
  // "<argv> exited with status N: <first stderr line>" and the like.
  std::string describeFailure(const std::vector<std::string>& argv) const;
};

// Runs argv[0] (looked up in PATH when it has no "/") with posix_spawn: no
// shell, every descriptor but 0-2 closed, LC_ALL=C. Throws ZrException when
// the command cannot be started at all.
ZR_API CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options = {});
// The command line as one text, for messages.
ZR_API std::string JoinArgv(const std::vector<std::string>& argv);
}  // namespace zr
