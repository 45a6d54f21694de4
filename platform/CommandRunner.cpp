// SPDX-License-Identifier: Apache-2.0
#include "zr/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "zr/LogWriter.h"
#include "zr/ZrException.h"

extern char** environ;

namespace zr {
namespace {
const char kSig[] = "RunCommand";
// Root's usual search path: the caller's PATH never chooses the tool we run.
const char kSystemPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
const double kKillGrace = 1.0;        // between SIGTERM and SIGKILL
const double kDrainAfterExit = 0.25;  // output still read once the command has exited
const double kTick = 0.01;            // exit polling where pidfd_open is missing

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw ZrException("Cannot create a pipe", errno);
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  void closeWrite() {
    ::close(write);
    write = -1;
  }
};

std::map<std::string, std::string> ChildEnvironment(const CommandOptions& options) {
  std::map<std::string, std::string> env;
  if (options.inheritAll) {
    for (char** e = environ; e && *e; ++e) {
      const char* eq = std::strchr(*e, '=');
      if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
  } else {
    env["PATH"] = kSystemPath;
    env["LC_ALL"] = "C";
    for (auto& name : options.inherit) {
      if (const char* value = std::getenv(name.c_str())) env[name] = value;
    }
  }
  for (auto& kv : options.environment) env[kv.first] = kv.second;
  return env;
}

std::vector<std::string> Flatten(const std::map<std::string, std::string>& env) {
  std::vector<std::string> out;
  for (auto& kv : env) out.push_back(kv.first + "=" + kv.second);
  return out;
}

// The program argv[0] names, searched in the child's PATH when it has no "/"
// (absolute entries only: never the current directory).
std::string Program(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  if (argv[0].find('/') != std::string::npos) return argv[0];
  auto path = env.find("PATH");
  std::string dirs = path == env.end() ? kSystemPath : path->second;
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string candidate = dirs.substr(start, end - start) + "/" + argv[0];
    if (end > start && candidate[0] == '/' && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw ZrException("Cannot run " + JoinArgv(argv) + ": not found in " + dirs, ENOENT);
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

double Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const CommandOptions& options, const Pipe& out, const Pipe& err) {
  std::vector<std::string> args = argv, vars = env;
  std::vector<char*> argp = Pointers(args), envp = Pointers(vars);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.capture) {
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // nothing of ours leaks into the tool
  // A group of its own, so that a timeout reaches whatever the command
  // started; signals we ignore or block must not make it unstoppable.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw ZrException("Cannot run " + JoinArgv(argv), rc);
  return pid;
}

// Follows one started command to its end: reads its output, notices its exit
// without reaping it (so its process id, which is also its group's, cannot be
// reused while we may still signal the group), and applies the timeout.
class Supervisor {
 public:
  Supervisor(pid_t pid, int outFd, int errFd, const std::vector<std::string>& argv, const CommandOptions& options)
      : m_pid(pid), m_argv(argv), m_options(options), m_start(Now()) {
    m_fds[0] = {outFd, POLLIN, 0};
    m_fds[1] = {errFd, POLLIN, 0};
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (options.timeoutSeconds) m_deadline = m_start + options.timeoutSeconds;
  }
  ~Supervisor() {
    if (m_pidfd >= 0) ::close(m_pidfd);
    if (m_reaped) return;
    // Only reached when waiting failed: never leave a zombie, and kill only what may be killed.
    if (m_options.killOnTimeout) ::killpg(m_pid, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  CommandResult run() {
    for (;;) {
      noticeExit();
      double now = Now();
      if (finished(now)) break;
      applyTimeout(now);
      waitForEvents(now);
    }
    if (m_result.timedOut && m_options.killOnTimeout && !m_killed) ::killpg(m_pid, SIGKILL);  // strays
    reap();
    if (m_result.timedOut && (!m_options.killOnTimeout || m_lateReported)) logLateExit();
    return std::move(m_result);
  }

 private:
  void noticeExit() {
    if (m_exited) return;
    siginfo_t info{};
    int r = ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (r < 0 && errno != EINTR) throw ZrException("Cannot wait for " + JoinArgv(m_argv), errno);
    if (r == 0 && info.si_pid == m_pid) {
      m_exited = true;
      m_exitedAt = Now();
    }
  }

  bool pipesOpen() const { return m_fds[0].fd >= 0 || m_fds[1].fd >= 0; }

  bool finished(double now) const {
    if (!m_exited) return false;
    if (!pipesOpen()) return true;
    return now >= m_exitedAt + kDrainAfterExit;  // something it left behind holds the output open
  }

  void applyTimeout(double now) {
    if (m_deadline > 0 && !m_result.timedOut && now >= m_deadline) {
      m_result.timedOut = true;
      ::killpg(m_pid, SIGTERM);
      if (m_options.killOnTimeout) {
        m_killAt = now + kKillGrace;
        logStillRunning(now, "did not finish in time; sent it SIGTERM, and SIGKILL follows");
      } else {
        logStillRunning(now, "did not finish in time; sent it SIGTERM and keep waiting for it to exit");
      }
      m_nextLog = now + std::max(1u, m_options.reportEverySeconds);
    }
    if (m_killAt > 0 && !m_killed && now >= m_killAt) {
      ::killpg(m_pid, SIGKILL);
      m_killed = true;
    }
    if (m_nextLog > 0 && !m_exited && now >= m_nextLog) {
      logStillRunning(now, m_killed ? "is still running after SIGKILL (uninterruptible sleep on a suspended device "
                                      "or a frozen file system?); waiting for it to exit"
                                    : "is still running after its timeout; waiting for it to exit");
      m_lateReported = true;
      m_nextLog += std::max(1u, m_options.reportEverySeconds);
    }
  }

  // The next moment something is due, or 0 for none.
  double nextEvent() const {
    double next = 0;
    auto consider = [&next](double t) {
      if (t > 0 && (next == 0 || t < next)) next = t;
    };
    if (!m_result.timedOut) consider(m_deadline);
    if (!m_killed) consider(m_killAt);
    if (!m_exited) consider(m_nextLog);
    if (m_exited) consider(m_exitedAt + kDrainAfterExit);
    return next;
  }

  void waitForEvents(double now) {
    pollfd fds[3] = {m_fds[0], m_fds[1], {m_exited ? -1 : m_pidfd, POLLIN, 0}};
    double next = nextEvent();
    if (!m_exited && m_pidfd < 0) next = next > 0 ? std::min(next, now + kTick) : now + kTick;
    int wait = next > 0 ? static_cast<int>((std::max(next - now, 0.0)) * 1000) + 1 : -1;
    int n = ::poll(fds, 3, wait);
    if (n < 0 && errno == EINTR) return;
    if (n < 0) throw ZrException("Cannot wait for the output of " + JoinArgv(m_argv), errno);
    std::string* sinks[2] = {&m_result.out, &m_result.err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) readFrom(i, *sinks[i]);
    }
  }

  void readFrom(int i, std::string& sink) {
    char buffer[65536];
    ssize_t got = ::read(m_fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      sink.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      m_fds[i].fd = -1;  // the Pipe closes it
    }
  }

  void reap() {
    int status = 0;
    for (;;) {
      if (::waitpid(m_pid, &status, 0) == m_pid) break;
      if (errno != EINTR) throw ZrException("Cannot wait for " + JoinArgv(m_argv), errno);
    }
    m_reaped = true;
    if (WIFEXITED(status)) m_result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) m_result.signal = WTERMSIG(status);
  }

  void logStillRunning(double now, const char* what) {
    if (!g_ptrLogWriter) return;
    ZR_LOG(ZR_LOG_ERROR, kSig, "%s %s (running for %.0f s, timeout %u s)", JoinArgv(m_argv).c_str(), what,
           now - m_start, m_options.timeoutSeconds);
  }

  void logLateExit() {
    if (!g_ptrLogWriter) return;
    ZR_LOG(ZR_LOG_ERROR, kSig, "%s ended %.0f s after it started, past its timeout of %u s", JoinArgv(m_argv).c_str(),
           m_exitedAt - m_start, m_options.timeoutSeconds);
  }

  pid_t m_pid;
  const std::vector<std::string>& m_argv;
  const CommandOptions& m_options;
  pollfd m_fds[2];
  int m_pidfd = -1;
  double m_start, m_deadline = 0, m_killAt = 0, m_nextLog = 0, m_exitedAt = 0;
  bool m_exited = false, m_killed = false, m_reaped = false, m_lateReported = false;
  CommandResult m_result;
};
}  // namespace

std::string JoinArgv(const std::vector<std::string>& argv) {
  std::string text;
  for (auto& a : argv) text += (text.empty() ? "" : " ") + a;
  return text;
}

// An exit status is the command's own number, not an errno: no system error text here.
std::string CommandResult::describeEnd(const std::vector<std::string>& argv) const {
  std::string text = JoinArgv(argv);
  if (timedOut) text += " did not finish in time and";
  if (signal) {
    text += std::string(" was killed by signal ") + ::strsignal(signal);
  } else {
    text += (timedOut ? " exited later with status " : " exited with status ") + std::to_string(exitStatus);
  }
  return text;
}

std::string CommandResult::describeFailure(const std::vector<std::string>& argv) const {
  std::string text = describeEnd(argv);
  std::string first = err.substr(0, err.find('\n'));
  while (!first.empty() && (first[0] == ' ' || first[0] == '\t')) first.erase(0, 1);
  if (!first.empty()) text += ": " + first;
  return text;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options) {
  if (argv.empty()) throw ZrException("Cannot run an empty command", EINVAL);
  std::map<std::string, std::string> env = ChildEnvironment(options);
  std::string program = Program(argv, env);
  Pipe out, err;
  pid_t pid = Spawn(program, argv, Flatten(env), options, out, err);
  out.closeWrite();
  err.closeWrite();
  return Supervisor(pid, out.read, err.read, argv, options).run();
}
}  // namespace zr
