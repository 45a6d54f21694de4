// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/BackupCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "zr/ZrException.h"
#include "zrsnap/JobSignals.h"
#include "zrsnap/Output.h"

extern char** environ;

namespace {
const int kDeathSignal = SIGUSR1;
// How long the command waits for zrsnap to say "go" at most: zrsnap forks the watchdog meanwhile.
const int kGoBoundMs = 60000;

std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (auto& kv : extra) env[kv.first] = kv.second;
  std::vector<std::string> out;
  for (auto& kv : env) out.push_back(kv.first + "=" + kv.second);
  return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

void CloseRange(unsigned first, unsigned last) {
  if (first > last) return;
  if (::close_range(first, last, 0) == 0) return;
  long max = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd <= static_cast<long>(last) && fd < max; ++fd) ::close(static_cast<int>(fd));
}

// Nothing of ours (the record's lock, log files, the other ends of our pipes)
// reaches the backup or outlives zrsnap in the watchdog: 3 and up are closed but
// a and b (-1: none).
void CloseOurDescriptors(int a = -1, int b = -1) {
  if (a > b) std::swap(a, b);
  unsigned next = 3;
  for (int keep : {a, b}) {
    if (keep < static_cast<int>(next)) continue;
    CloseRange(next, static_cast<unsigned>(keep) - 1);
    next = static_cast<unsigned>(keep) + 1;
  }
  CloseRange(next, ~0U);
}

// Whether zrsnap said "go" within the bound; EOF means it died first.
bool Told(int go) {
  pollfd p{go, POLLIN, 0};
  for (int tries = 0; tries < 100; ++tries) {
    int n = ::poll(&p, 1, kGoBoundMs);
    if (n < 0 && errno == EINTR) continue;
    char byte = 0;
    return n == 1 && ::read(go, &byte, 1) == 1;
  }
  return false;
}

// In the forked child: only async-signal-safe calls from here on. A session of
// its own gives the backup no controlling terminal, so touching the terminal
// cannot stop it (SIGTTIN, SIGTTOU) while zrsnap waits for it. It starts only
// when zrsnap says the watchdog stands; started is closed by the exec.
[[noreturn]] void BecomeCommand(pid_t parent, char** argv, char** envp, const sigset_t& mask, int go, int started) {
  ::setsid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(128 + SIGKILL);  // zrsnap died before the death signal was set
  CloseOurDescriptors(go, started);
  if (!Told(go)) ::_exit(128 + SIGKILL);
  ::close(go);
  int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0 && null != 0) {
    ::dup2(null, 0);
    ::close(null);
  }
  RestoreBrokenPipes();
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  ::execve("/bin/sh", argv, envp);
  ::_exit(127);
}

// In the forked watchdog: waits for zrsnap's death, then kills the backup's
// group. A session of its own keeps the terminal's ^Z and ^C off it. Anyone may
// send SIGUSR1: only a parent that is really gone counts.
[[noreturn]] void BecomeWatchdog(pid_t parent, pid_t group) {
  ::setsid();
  ::prctl(PR_SET_NAME, "zrsnap-watch");
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, SIG_IGN);  // forwarded ones are the command's
  sigset_t death;
  sigemptyset(&death);
  sigaddset(&death, kDeathSignal);
  ::sigprocmask(SIG_BLOCK, &death, nullptr);
  ::prctl(PR_SET_PDEATHSIG, kDeathSignal);
  CloseOurDescriptors();
  while (::getppid() == parent) {
    int got = 0;
    ::sigwait(&death, &got);
  }
  ::kill(-group, SIGKILL);
  ::_exit(0);
}

// Waits for the command's exit without reaping it: its process id, which is
// also its group's, stays taken while the group is ended.
void WaitFor(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR) throw ZrException("Cannot wait for the backup command", errno);
  }
}

// Kills what is left of the command's group (the command too, should it not
// lead one yet), then reaps the command.
int EndGroup(pid_t group) {
  ::kill(-group, SIGKILL);
  ::kill(group, SIGKILL);
  int status = 0;
  while (::waitpid(group, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

void EndWatchdog(pid_t watchdog) {
  ::kill(watchdog, SIGKILL);
  while (::waitpid(watchdog, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Until the command has exec'd (EOF on the pipe that exec closes), it may not
// be in its own session yet, and signals to its group would be lost.
void AwaitExec(int started) {
  char byte;
  while (::read(started, &byte, 1) < 0 && errno == EINTR) {
  }
}

// Forks; in the child runs become and never returns. Throws when fork fails.
template <typename F>
pid_t Fork(const char* what, F become) {
  pid_t pid = ::fork();
  if (pid < 0) throw ZrException(std::string("Cannot start ") + what, errno);
  if (pid == 0) become();
  return pid;
}

struct Pipe {
  int read = -1, write = -1;
  explicit Pipe(const char* what) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw ZrException(std::string("Cannot create a pipe for ") + what, errno);
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    close(read);
    close(write);
  }
  static void close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};
}  // namespace

BackupEnd RunBackupCommand(const std::string& command, const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> args{"sh", "-c", command}, env = Environment(extra);
  std::vector<char*> argv = Pointers(args), envp = Pointers(env);
  const pid_t self = ::getpid();
  Pipe go("the backup command"), started("the backup command");
  sigset_t mask;
  JobSignals::block(&mask);
  pid_t child = 0, watchdog = 0;
  try {
    child = Fork("the backup command",
                 [&] { BecomeCommand(self, argv.data(), envp.data(), mask, go.read, started.write); });
    watchdog = Fork("the backup command's watchdog", [&] { BecomeWatchdog(self, child); });
  } catch (...) {
    Pipe::close(go.write);
    if (child > 0) EndGroup(child);
    JobSignals::unblock(mask);
    throw;
  }
  Pipe::close(go.read);
  Pipe::close(started.write);
  if (::write(go.write, "g", 1) != 1) {
    int err = errno;
    Pipe::close(go.write);
    EndGroup(child);
    EndWatchdog(watchdog);
    JobSignals::unblock(mask);
    throw ZrException("Cannot start the backup command", err);
  }
  Pipe::close(go.write);
  AwaitExec(started.read);
  JobSignals::forwardTo(child);
  JobSignals::unblock(mask);
  WaitFor(child);
  JobSignals::forwardTo(0);
  // What the command left running must not outlive it: it would read from
  // snapshots that are about to go.
  int status = EndGroup(child);
  EndWatchdog(watchdog);
  BackupEnd end;
  if (WIFEXITED(status)) end.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  return end;
}
