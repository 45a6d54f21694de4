// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "zr/ZrApi.h"

namespace zr {
struct ZR_API CommandOptions {
  // Seconds before the command is stopped (see killOnTimeout); 0 waits forever.
  unsigned timeoutSeconds = 0;
  // Set in the child's environment on top of the minimal one (PATH, LC_ALL=C).
  std::vector<std::pair<std::string, std::string>> environment;
  // Keep the child's stdout and stderr (false: they go where ours go).
  bool capture = true;
  // On timeout, true: SIGTERM to the command's process group, SIGKILL to it a
  // second later. false, for commands that change storage and must not die
  // half-way: SIGTERM once, then wait for the exit however long it takes.
  // Either way the timeout is logged at level -1, and so is every
  // reportEverySeconds that the command still runs (a killed one may sit in
  // uninterruptible sleep on a suspended device or a frozen file system).
  bool killOnTimeout = true;
  unsigned reportEverySeconds = 30;
  // Variables of our own environment passed on when set (those the tool documents).
  std::vector<std::string> inherit;
  // The child gets our whole environment instead of the minimal one: only for
  // a user's own command, never for a tool run with our privileges.
  bool inheritAll = false;
};

struct ZR_API CommandResult {
  int exitStatus = -1;  // the exit code, or -1 when the command died of a signal
  int signal = 0;       // the signal that ended it, if one did
  // The timeout fired, even if the command exited by itself afterwards.
  bool timedOut = false;
  std::string out;
  std::string err;

  bool ok() const { return exitStatus == 0 && !timedOut; }
  // "<argv> exited with status N", "... was killed by signal ...": how it ended, without what it said.
  std::string describeEnd(const std::vector<std::string>& argv) const;
  // describeEnd and ": <first stderr line>".
  std::string describeFailure(const std::vector<std::string>& argv) const;
};

// Runs argv[0] (looked up in the child's PATH when it has no "/") with
// posix_spawn: no shell, in a process group of its own, default signal
// dispositions, stdin from /dev/null, every descriptor but 0-2 closed, and an
// explicit environment. Returns once the command has exited and its output has
// drained (output still held open by a process it left behind is waited for
// only briefly). Throws ZrException when the command cannot be started at all.
ZR_API CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options = {});
// The command line as one text, for messages.
ZR_API std::string JoinArgv(const std::vector<std::string>& argv);
}  // namespace zr
