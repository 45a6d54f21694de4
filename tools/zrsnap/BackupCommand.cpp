#include "zrsnap/BackupCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "zr/ZrException.h"
#include "zrsnap/JobSignals.h"

extern char** environ;

namespace {
const int kDeathSignal = SIGUSR1;

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

// Nothing of ours (the record's lock, log files) reaches the backup or outlives zrsnap in the watchdog.
void CloseOurDescriptors() {
  if (::close_range(3, ~0U, 0) == 0) return;
  for (long fd = 3, max = ::sysconf(_SC_OPEN_MAX); fd < max; ++fd) ::close(static_cast<int>(fd));
}

// In the forked child: only async-signal-safe calls from here on.
// It starts only when zrsnap says the watchdog stands (EOF: zrsnap died before).
[[noreturn]] void BecomeCommand(pid_t parent, char** argv, char** envp, const sigset_t& mask, int go) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  char byte = 0;
  ssize_t got;
  while ((got = ::read(go, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (got != 1 || ::getppid() != parent) ::_exit(128 + SIGKILL);
  int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0 && null != 0) {
    ::dup2(null, 0);
    ::close(null);
  }
  CloseOurDescriptors();
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  ::execve("/bin/sh", argv, envp);
  ::_exit(127);
}

// In the forked watchdog: waits for zrsnap's death, then kills the backup's group (itself included).
[[noreturn]] void BecomeWatchdog(pid_t parent, pid_t group) {
  ::setpgid(0, group);
  ::prctl(PR_SET_NAME, "zrsnap-watch");
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, SIG_IGN);  // forwarded ones are the command's
  sigset_t death;
  sigemptyset(&death);
  sigaddset(&death, kDeathSignal);
  ::sigprocmask(SIG_BLOCK, &death, nullptr);
  ::prctl(PR_SET_PDEATHSIG, kDeathSignal);
  CloseOurDescriptors();
  if (::getppid() == parent) {
    int got = 0;
    while (::sigwait(&death, &got) != 0 || got != kDeathSignal) {
    }
  }
  ::kill(-group, SIGKILL);
  ::_exit(0);
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw ZrException("Cannot wait for the backup command", errno);
  }
  return status;
}

// Kills what is left of the group and reaps our own children in it.
void EndGroup(pid_t group) {
  ::kill(-group, SIGKILL);
  while (::waitpid(-group, nullptr, 0) > 0 || errno == EINTR) {
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
}  // namespace

BackupEnd RunBackupCommand(const std::string& command, const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> args{"sh", "-c", command}, env = Environment(extra);
  std::vector<char*> argv = Pointers(args), envp = Pointers(env);
  const pid_t self = ::getpid();
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0) throw ZrException("Cannot create a pipe for the backup command", errno);
  sigset_t mask;
  JobSignals::block(&mask);
  pid_t child = 0;
  try {
    child = Fork("the backup command", [&] { BecomeCommand(self, argv.data(), envp.data(), mask, go[0]); });
    ::setpgid(child, child);  // both sides set it, so neither can run ahead of the other
    pid_t watchdog = Fork("the backup command's watchdog", [&] { BecomeWatchdog(self, child); });
    ::setpgid(watchdog, child);
  } catch (...) {
    ::close(go[0]);
    ::close(go[1]);
    if (child > 0) EndGroup(child);
    JobSignals::unblock(mask);
    throw;
  }
  ::close(go[0]);
  if (::write(go[1], "g", 1) != 1) {
    int err = errno;
    ::close(go[1]);
    EndGroup(child);
    JobSignals::unblock(mask);
    throw ZrException("Cannot start the backup command", err);
  }
  ::close(go[1]);
  JobSignals::forwardTo(child);
  JobSignals::unblock(mask);
  int status = WaitFor(child);
  JobSignals::forwardTo(0);
  // What the command left running must not outlive it: it would read from snapshots
  // that are about to go. The watchdog has kept the group's number taken till now.
  EndGroup(child);
  BackupEnd end;
  if (WIFEXITED(status)) end.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  return end;
}
