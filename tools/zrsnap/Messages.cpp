// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zr/LogWriter.h"
#include "zrsnap/HostLog.h"

namespace {
bool g_toFile = false;
bool g_stderrLost = false;

// A closed or full stderr is said once in the log file, when there is one, and the job goes on.
void ToStandardError(const std::string& text) {
  if (g_stderrLost) return;
  HostLogWriter* log = HostLog();
  if (log && log->holdPlain("zrsnap: " + text)) return;
  if (std::fprintf(stderr, "zrsnap: %s\n", text.c_str()) >= 0 && std::fflush(stderr) == 0) return;
  int err = errno;
  g_stderrLost = true;
  if (g_toFile && g_ptrLogWriter) {
    ZR_LOG(ZR_LOG_ERROR, "zrsnap", "zrsnap: cannot write to standard error: %s; zrsnap's messages go on here only",
           std::strerror(err));
  }
}

void Tell(int level, const std::string& text) {
  ToStandardError(text);
  if (g_toFile && g_ptrLogWriter) ZR_LOG(level, "zrsnap", "zrsnap: %s", text.c_str());
}
}  // namespace

void UseLogFile(bool toFile) { g_toFile = toFile; }
void TellFailure(const std::string& text) { Tell(ZR_LOG_ERROR, text); }
void TellProgress(const std::string& text) { Tell(ZR_LOG_PROGRESS, text); }
