// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/JobSignals.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_received = 0;
volatile sig_atomic_t g_group = 0;
// Made before the handlers are installed: a handler may only write(2) them.
char g_said[3][256];

void Forward(pid_t group, int signal) {
  ::kill(-group, signal);
  ::kill(-group, SIGCONT);
}

void OnSignal(int signal) {
  int saved = errno;
  if (!g_received) g_received = signal;
  for (int i = 0; i < 3; ++i) {
    if (kSignals[i] == signal) (void)!::write(STDERR_FILENO, g_said[i], std::strlen(g_said[i]));
  }
  pid_t group = g_group;
  if (group > 0) Forward(group, signal);
  errno = saved;
}
}  // namespace

JobSignals::JobSignals(const std::string& then) {
  for (int i = 0; i < 3; ++i) {
    std::snprintf(g_said[i], sizeof g_said[i], "zrsnap: %s received: %s\n", ::strsignal(kSignals[i]), then.c_str());
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) {
    ::sigaction(kSignals[i], nullptr, &m_old[i]);
    if (m_old[i].sa_handler == SIG_IGN) continue;  // e.g. SIGINT of a job started with & by a script
    m_installed[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

JobSignals::~JobSignals() {
  g_group = 0;
  for (int i = 0; i < 3; ++i) {
    if (m_installed[i]) ::sigaction(kSignals[i], &m_old[i], nullptr);
  }
}

int JobSignals::received() { return g_received; }

void JobSignals::block(sigset_t* previous) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  ::sigprocmask(SIG_BLOCK, &set, previous);
}

void JobSignals::unblock(const sigset_t& previous) { ::sigprocmask(SIG_SETMASK, &previous, nullptr); }

void JobSignals::forwardTo(pid_t group) {
  g_group = group;
  if (group > 0 && g_received) Forward(group, g_received);
}
