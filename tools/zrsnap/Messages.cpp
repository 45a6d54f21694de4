// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Messages.h"

#include <cstdio>

#include "zr/LogWriter.h"

namespace {
bool g_toFile = false;

void Tell(int level, const std::string& text) {
  std::fprintf(stderr, "zrsnap: %s\n", text.c_str());
  if (g_toFile && g_ptrLogWriter) ZR_LOG(level, "zrsnap", "zrsnap: %s", text.c_str());
}
}  // namespace

void UseLogFile(bool toFile) { g_toFile = toFile; }
void TellFailure(const std::string& text) { Tell(ZR_LOG_ERROR, text); }
void TellProgress(const std::string& text) { Tell(ZR_LOG_PROGRESS, text); }
