// SPDX-License-Identifier: Apache-2.0
// Preloaded into zrsnap by a test: zrsnap kills itself at its fork number
// ZR_TEST_DIE_AT_FORK, and the child of the fork before it waits for that death
// before it goes on (writing its process number to ZR_TEST_FORK_PID_FILE), so
// that it meets a parent that died before the child could set its death signal.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
int g_forks = 0;

void WritePid(const char* file) {
  int fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char text[32];
  int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  (void)!::write(fd, text, static_cast<size_t>(n));
  ::close(fd);
}

void AwaitDeathOf(pid_t parent) {
  for (int i = 0; i < 3000 && ::getppid() == parent; ++i) ::usleep(10000);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) pid_t fork() {
  using Fork = pid_t (*)();
  static Fork real = reinterpret_cast<Fork>(::dlsym(RTLD_NEXT, "fork"));
  const char* at = std::getenv("ZR_TEST_DIE_AT_FORK");
  const int dieAt = at ? std::atoi(at) : 0;
  if (++g_forks == dieAt) ::kill(::getpid(), SIGKILL);
  const pid_t parent = ::getpid();
  pid_t pid = real();
  if (pid == 0 && g_forks == dieAt - 1) {
    if (const char* file = std::getenv("ZR_TEST_FORK_PID_FILE")) WritePid(file);
    AwaitDeathOf(parent);
  }
  return pid;
}
