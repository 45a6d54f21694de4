// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// How the backup command ended.
struct BackupEnd {
  int exitStatus = -1;  // its exit code, or -1 when a signal ended it
  int signal = 0;
};

// Runs `/bin/sh -c command` with our environment plus extra, stdin from
// /dev/null, in a session of its own (no controlling terminal) whose process
// group JobSignals forwards to. A watchdog process kills that group when zrsnap
// dies, even by SIGKILL, so no part of the backup outlives zrsnap and reads from
// snapshots that the next start removes. Must be called from the main thread
// (the kernel's parent-death signal follows the thread that forked).
// Throws ZrException when the command cannot be started.
BackupEnd RunBackupCommand(const std::string& command, const std::vector<std::pair<std::string, std::string>>& extra);
