#include "zr/CommandRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "zr/ZrException.h"

extern char** environ;

namespace zr {
namespace {
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

std::vector<std::string> ChildEnvironment(const CommandOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  env["LC_ALL"] = "C";
  for (auto& kv : options.environment) env[kv.first] = kv.second;
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

double Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Reads both pipes until they close or the deadline passes; false on timeout.
bool Drain(int outFd, int errFd, std::string& out, std::string& err, double deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    int wait = -1;
    if (deadline > 0) {
      double left = deadline - Now();
      if (left <= 0) return false;
      wait = static_cast<int>(left * 1000) + 1;
    }
    int n = ::poll(fds, 2, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ZrException("Cannot wait for a command's output", errno);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

int WaitFor(pid_t pid, double deadline, bool& timedOut) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, deadline > 0 ? WNOHANG : 0);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) throw ZrException("Cannot wait for a command", errno);
    if (deadline > 0 && Now() >= deadline) {
      timedOut = true;
      ::kill(pid, SIGTERM);
      for (int i = 0; i < 50 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) ::usleep(20000);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return status;
    }
    if (deadline > 0) ::usleep(2000);
  }
}
}  // namespace

std::string JoinArgv(const std::vector<std::string>& argv) {
  std::string text;
  for (auto& a : argv) text += (text.empty() ? "" : " ") + a;
  return text;
}

std::string CommandResult::describeFailure(const std::vector<std::string>& argv) const {
  std::string text = JoinArgv(argv);
  if (timedOut) {
    text += " did not finish in time and was killed";
  } else if (signal) {
    text += std::string(" was killed by signal ") + ::strsignal(signal);
  } else {
    text += " exited with status " + std::to_string(exitStatus);
  }
  std::string first = err.substr(0, err.find('\n'));
  while (!first.empty() && (first[0] == ' ' || first[0] == '\t')) first.erase(0, 1);
  if (!first.empty()) text += ": " + first;
  return text;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options) {
  if (argv.empty()) throw ZrException("Cannot run an empty command", EINVAL);
  std::vector<std::string> args = argv, env = ChildEnvironment(options);
  std::vector<char*> argp = Pointers(args), envp = Pointers(env);

  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.capture) {
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // nothing of ours leaks into the tool
  pid_t pid = 0;
  int rc = argv[0].find('/') == std::string::npos
               ? ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data())
               : ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw ZrException("Cannot run " + JoinArgv(argv), rc);
  out.closeWrite();
  err.closeWrite();

  CommandResult result;
  double deadline = options.timeoutSeconds ? Now() + options.timeoutSeconds : 0;
  if (!Drain(out.read, err.read, result.out, result.err, deadline)) deadline = Now();  // kill at once
  int status = WaitFor(pid, deadline, result.timedOut);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}
}  // namespace zr
