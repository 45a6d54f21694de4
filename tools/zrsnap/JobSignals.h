// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <string>

// During a job or a clean-up, SIGINT, SIGTERM and SIGHUP do not end zrsnap:
// each is said at once on stderr, remembered, and passed on to the backup
// command's process group while one runs (followed by SIGCONT, so that a
// stopped backup can act on it); the job then tears down as usual. A signal
// that was ignored when zrsnap started stays ignored.
class JobSignals {
 public:
  // then: what the line said at a signal promises ("the teardown follows ...").
  explicit JobSignals(const std::string& then);
  ~JobSignals();
  JobSignals(const JobSignals&) = delete;
  JobSignals& operator=(const JobSignals&) = delete;

  // The first signal received, or 0.
  static int received();
  // While blocked, a signal waits; a process group set meanwhile gets it when unblocked.
  static void block(sigset_t* previous);
  static void unblock(const sigset_t& previous);
  // The process group that signals go to from now on (0: none), and any signal already received.
  static void forwardTo(pid_t group);

 private:
  struct sigaction m_old[3];
  bool m_installed[3] = {false, false, false};
};
