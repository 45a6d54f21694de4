// SPDX-License-Identifier: Apache-2.0
#include "HostSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace host {
std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

bool ProcessGone(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

namespace {
std::vector<std::string> WithCwd(const std::vector<std::string>& argv, const std::string& cwd) {
  if (cwd.empty()) return argv;
  std::vector<std::string> out{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}
}  // namespace

zr::CommandResult Zrsnap(const std::vector<std::string>& args, const Environment& env, const std::string& cwd) {
  std::vector<std::string> argv{ZRSNAP_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  zr::CommandOptions options;
  options.timeoutSeconds = 60;
  options.environment = env;
  options.inheritAll = true;  // as a user runs it
  return zr::RunCommand(WithCwd(argv, cwd), options);
}

Background::Background(const std::vector<std::string>& args, const Environment& env, const fs::path& outputs, int out,
                       int err)
    : m_outputs(outputs) {
  fs::create_directories(outputs);
  std::vector<std::string> texts{ZRSNAP_BINARY}, envTexts;
  texts.insert(texts.end(), args.begin(), args.end());
  // A variable given here replaces the inherited one: getenv finds the first.
  for (char** e = environ; *e; ++e) {
    const std::string text = *e;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (auto& kv : env) replaced = replaced || kv.first == name;
    if (!replaced) envTexts.push_back(text);
  }
  for (auto& kv : env) envTexts.push_back(kv.first + "=" + kv.second);
  std::vector<char*> argp, envp;
  for (auto& t : texts) argp.push_back(t.data());
  for (auto& t : envTexts) envp.push_back(t.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const fs::path files[2] = {outputs / "stdout", outputs / "stderr"};
  const int given[2] = {out, err};
  for (int i = 0; i < 2; ++i) {
    if (given[i] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, given[i], i + 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, i + 1, files[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
  }
  int rc = ::posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("cannot start zrsnap: ") + std::strerror(rc));
}

Background::~Background() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    wait();
  }
}

int Background::wait() {
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  return status;
}

int Background::waitBounded() {
  int status = 0;
  bool ended = Eventually([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; });
  if (ended) {
    m_pid = -1;
    return status;
  }
  ::kill(m_pid, SIGKILL);
  return wait();
}

void SimHost::makeHost(const std::string& managerKind) {
  kind = managerKind;
  std::string pattern = (fs::temp_directory_path() / "zrsnap-host-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  top = fs::canonical(pattern);
  sim = std::make_shared<FlrSnapOS::SimEngine>((top / "sim").string());
  a = makeVolume("simvg-a", "a.txt", "alpha\n");
  b = makeVolume("simvg-b", "b.txt", "beta\n");
}

void SimHost::removeHost() {
  std::error_code ec;
  fs::remove_all(top, ec);
}

fs::path SimHost::makeVolume(const std::string& device, const std::string& file, const std::string& text) {
  fs::path dir = top / "vol" / device;
  WriteFile(dir / "sub" / file, text);
  sim->addVolume(device, dir.string());
  return dir;
}

std::vector<std::string> SimHost::argv(const std::vector<std::string>& args) const {
  std::vector<std::string> out = args;
  out.insert(out.end(), {"--sim-dir", (top / "sim").string(), "--state-dir", (top / "state").string(), "--kind", kind});
  return out;
}

zr::CommandResult SimHost::zrsnap(const std::vector<std::string>& args, const Environment& env,
                                  const std::string& cwd) const {
  return Zrsnap(argv(args), env, cwd);
}
}  // namespace host
