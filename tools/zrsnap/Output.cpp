// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Output.h"

#include <signal.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zrsnap/Messages.h"

namespace {
bool g_lost = false;
struct sigaction g_startupPipe {};

void Lost(int err) {
  g_lost = true;
  TellFailure(std::string("cannot write to standard output: ") + std::strerror(err) +
              "; the rest of what zrsnap prints there is dropped");
}
}  // namespace

void Print(const char* format, ...) {
  if (g_lost) return;
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<size_t>(size > 0 ? size : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  errno = 0;
  size_t length = text.size() - 1;
  if (std::fwrite(text.data(), 1, length, stdout) != length || std::fflush(stdout) != 0) Lost(errno ? errno : EIO);
}

bool OutputLost() { return g_lost; }

void IgnoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &g_startupPipe);
}

void RestoreBrokenPipes() { ::sigaction(SIGPIPE, &g_startupPipe, nullptr); }
