#include "zrsnap/JobSignals.h"

namespace {
const int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_received = 0;
volatile sig_atomic_t g_group = 0;

void OnSignal(int signal) {
  if (!g_received) g_received = signal;
  pid_t group = g_group;
  if (group > 0) ::kill(-group, signal);
}
}  // namespace

JobSignals::JobSignals() {
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
  if (group > 0 && g_received) ::kill(-group, g_received);
}
