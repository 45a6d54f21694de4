// SPDX-License-Identifier: Apache-2.0
// `zrsnap run --exec`: signals reach the backup command's process group and the
// job tears down; a killed zrsnap takes the backup with it; content without a
// snapshot is not backed up live unless asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "HostSupport.h"

using host::Eventually;
using host::ProcessGone;
using host::ReadFile;
namespace fs = std::filesystem;

// The simulated engine's lock, held to stop zrsnap at its next engine step.
class SimLockHeld {
 public:
  explicit SimLockHeld(const fs::path& path) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_EQ(::flock(m_fd, LOCK_EX), 0) << path;
  }
  ~SimLockHeld() { ::close(m_fd); }

 private:
  int m_fd;
};

class HostExecTest : public ::testing::Test, protected host::SimHost {
 protected:
  std::string watchdogFds;
  void SetUp() override { makeHost("native"); }
  void TearDown() override { removeHost(); }

  // /proc/locks lists a process blocked on a lock as "N: -> FLOCK ADVISORY WRITE <pid> ...".
  static bool WaitsForALock(pid_t pid) {
    std::istringstream locks(ReadFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
      std::istringstream words(line);
      std::string number, arrow, type, mode, access, holder;
      words >> number >> arrow >> type >> mode >> access >> holder;
      if (arrow == "->" && holder == std::to_string(pid)) return true;
    }
    return false;
  }

  static pid_t ParentOf(pid_t pid) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("PPid:", 0) == 0) return static_cast<pid_t>(std::atoi(line.c_str() + 5));
    }
    return 0;
  }
  // zrsnap's child called zrsnap-watch.
  static pid_t WatchdogOf(pid_t zrsnap) {
    for (auto& entry : fs::directory_iterator("/proc")) {
      pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
      if (pid > 0 && ParentOf(pid) == zrsnap && ReadFile(entry.path() / "comm") == "zrsnap-watch\n") return pid;
    }
    return 0;
  }
  static std::string DescriptorsOf(pid_t pid) {
    std::set<int> fds;
    for (auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      fds.insert(std::atoi(entry.path().filename().c_str()));
    }
    std::string text;
    for (int fd : fds) text += std::to_string(fd) + " ";
    return text;
  }

  pid_t pidIn(const std::string& file) {
    std::string text;
    EXPECT_TRUE(Eventually([&] {
      text = ReadFile(top / file);
      return text.find('\n') != std::string::npos;
    })) << file
        << " never written";
    return static_cast<pid_t>(std::atoi(text.c_str()));
  }
};

class SignalTest : public HostExecTest, public ::testing::WithParamInterface<int> {};

// The shell traps the signal, so it can only have come through zrsnap. Its
// background sleep (which a shell starts with SIGINT ignored) must be gone
// before the teardown starts, which the held lock of the simulated engine stops.
TEST_P(SignalTest, ReachesTheBackupGroupThenTheJobTearsDown) {
  const int signal = GetParam();
  const std::string name = ::sigabbrev_np(signal);
  const std::string script = "trap 'echo got " + name + " > " + (top / "got").string() + "; exit 7' " + name +
                             "; sleep 300 & echo $! > " + (top / "sleeper").string() + "; wait";
  host::Background job(argv({"run", "-q", "--exec", script, a.string(), b.string()}), {}, top / "out");
  pid_t sleeper = pidIn("sleeper");
  {
    SimLockHeld teardownWaits(top / "sim/lock");
    ASSERT_EQ(::kill(job.pid(), signal), 0);
    ASSERT_TRUE(Eventually([&] { return WaitsForALock(job.pid()); })) << job.err();
    EXPECT_TRUE(Eventually([&] { return ProcessGone(sleeper); })) << "the background sleep outlived the backup";
  }
  int status = job.waitBounded();
  ASSERT_TRUE(WIFEXITED(status)) << "zrsnap outlives the signal to tear down: " << job.err();
  EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << job.err();
  EXPECT_EQ(ReadFile(top / "got"), "got " + name + "\n");
  EXPECT_NE(job.err().find("zrsnap: the backup command exited with status 7\n"), std::string::npos) << job.err();
  EXPECT_NE(job.err().find(std::string("zrsnap: ") + ::strsignal(signal) + " received: passed to the backup command\n"),
            std::string::npos)
      << job.err();
  EXPECT_EQ(host::Count(job.err(), std::string("zrsnap: ") + ::strsignal(signal) +
                                       " received: the job ends with its teardown once the command under way has "
                                       "ended\n"),
            1u)
      << "said once, at once: " << job.err();
  EXPECT_EQ(snapshots(), 0u);
  EXPECT_EQ(record(), "");
}

INSTANTIATE_TEST_SUITE_P(Forwarded, SignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(::sigabbrev_np(info.param)); });

// Holding the simulated engine's lock stops zrsnap in its first snapshot, where the signal then arrives.
TEST_F(HostExecTest, SignalBeforeTheBackupStartsSkipsIt) {
  auto held = std::make_unique<SimLockHeld>(top / "sim/lock");
  host::Background job(argv({"run", "-q", "--exec", "touch " + (top / "ran").string(), a.string()}), {}, top / "out");
  ASSERT_TRUE(Eventually([&] { return WaitsForALock(job.pid()); })) << job.err();
  ASSERT_EQ(::kill(job.pid(), SIGTERM), 0);
  held.reset();
  int status = job.waitBounded();
  ASSERT_TRUE(WIFEXITED(status)) << job.err();
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << job.err();
  EXPECT_NE(job.err().find("zrsnap: Terminated received before the backup command started: it is not run\n"),
            std::string::npos)
      << job.err();
  EXPECT_FALSE(fs::exists(top / "ran"));
  EXPECT_EQ(snapshots(), 0u);
  EXPECT_EQ(record(), "");
}

// `sh -c 'sleep 300'` and a background sleep, the way a backup script runs its tools.
TEST_F(HostExecTest, KilledZrsnapTakesTheWholeBackupWithIt) {
  const std::string script = "sleep 300 & echo $! > " + (top / "sleeper").string() + "; sh -c 'echo $$ > " +
                             (top / "inner").string() + "; sleep 301; true'";
  host::Background job(argv({"run", "-q", "--exec", script, a.string()}), {}, top / "out");
  pid_t sleeper = pidIn("sleeper"), inner = pidIn("inner");
  pid_t group = ::getpgid(sleeper);
  EXPECT_EQ(group, ::getpgid(inner));
  EXPECT_NE(group, ::getpgid(0)) << "the backup runs in a process group of its own";
  ASSERT_EQ(::kill(job.pid(), SIGKILL), 0);
  job.waitBounded();
  EXPECT_TRUE(Eventually([&] { return ProcessGone(sleeper) && ProcessGone(inner); }))
      << "a part of the backup outlived zrsnap";
  EXPECT_TRUE(Eventually([&] { return ::kill(-group, 0) != 0 && errno == ESRCH; })) << "the group is empty";
  EXPECT_EQ(snapshots(), 1u) << "the next start removes it";
}

// Descriptors of zrsnap (its log here) and of its caller (7) would keep files
// and locks of the job open in processes that zrsnap does not wait for.
TEST_F(HostExecTest, OnlyTheStandardStreamsReachTheBackupAndItsWatchdog) {
  const std::string list = "ls /proc/self/fd > " + (top / "fds").string();
  const std::string script = list + "; echo $$ > " + (top / "leader").string() + "; while [ ! -e " +
                             (top / "go").string() + " ]; do sleep 0.05; done";
  std::vector<std::string> args{"/bin/sh", "-c", "exec 7</dev/null; exec \"$0\" \"$@\"", ZRSNAP_BINARY};
  for (auto& arg : argv({"run", "--log", (top / "log").string(), "--exec", script, a.string()})) args.push_back(arg);
  zr::CommandOptions options;
  options.timeoutSeconds = 60;
  std::thread go([&] {
    pid_t leader = pidIn("leader");
    watchdogFds = DescriptorsOf(WatchdogOf(ParentOf(leader)));
    host::WriteFile(top / "go", "");
  });
  auto run = zr::RunCommand(args, options);
  go.join();
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFile(top / "fds"), "0\n1\n2\n3\n") << "ls's own directory is 3";
  EXPECT_EQ(watchdogFds, "0 1 2 ");
}

// The fake GPFS commands: a file system with an independent fileset and a dependent one.
class LiveContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zrsnap-live-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    top = fs::canonical(pattern);
    mount = top / "gpfs/fs0";
    fs::create_directories(mount / "projects");
    fs::create_directories(mount / "dependent");
    auto fileset = [&](const char* name, bool independent) {
      return nlohmann::json{
          {"name", name}, {"path", (mount / name).string()}, {"status", "Linked"}, {"independent", independent}};
    };
    nlohmann::json state = {{"filesystems",
                             {{"gpfs0",
                               {{"mount", mount.string()},
                                {"filesets", {fileset("projects", true), fileset("dependent", false)}},
                                {"snapshots", nlohmann::json::array()}}}}}};
    host::WriteFile(top / "mm.json", state.dump());
    host::WriteFile(top / "mountinfo", "22 1 0:21 / / rw - ext4 /dev/vda rw\n40 22 0:45 / " + mount.string() +
                                           " rw,relatime - gpfs gpfs0 rw\n");
    host::WriteFile(top / "agent.ini", "[GPFS]\nsCommandDir=" + (top / "mm").string() +
                                           "\nsMountInfo=" + (top / "mountinfo").string() + "\n");
    env = {{"ZRSNAP_CONFIG", (top / "agent.ini").string()}};
    // The engine gives the commands none of our environment: each wrapper names the fake's state.
    for (std::string command : {"mmlsfileset", "mmlssnapshot", "mmsnapdir", "mmcrsnapshot", "mmdelsnapshot"}) {
      host::WriteFile(top / "mm" / command, "#!/bin/sh\nFAKE_MM_STATE='" + (top / "mm.json").string() + "' exec '" +
                                                FAKE_MM_DIR + "/" + command + "' \"$@\"\n");
      fs::permissions(top / "mm" / command, fs::perms::owner_all);
    }
  }
  void TearDown() override { fs::remove_all(top); }

  zr::CommandResult zrsnap(std::vector<std::string> args) {
    args.insert(args.end(), {"--kind", "gpfs", "--engine", "gpfs", "--state-dir", (top / "state").string()});
    args.push_back((mount / "projects").string());
    args.push_back((mount / "dependent").string());
    return host::Zrsnap(args, env);
  }
  size_t snapshots() {
    return nlohmann::json::parse(ReadFile(top / "mm.json"))["filesystems"]["gpfs0"]["snapshots"].size();
  }

  fs::path top, mount;
  host::Environment env;
};

struct LiveCase {
  const char* name;
  std::vector<std::string> options;
  int exitStatus;
  bool backupRan;
};
void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.name; }

class LiveCaseTest : public LiveContentTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveCaseTest, PathWithoutSnapshotIsNamedAndReadLiveOnlyWhenAllowed) {
  const LiveCase& c = GetParam();
  std::vector<std::string> args{"run"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  for (auto& arg : args) {
    if (arg == "{SCRIPT}")
      arg = "echo \"$ZRSNAP_SNAPSHOT_COUNT $ZRSNAP_LIVE_COUNT $ZRSNAP_LIVE_1\" > " + (top / "seen").string();
  }
  auto run = zrsnap(args);
  EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
  EXPECT_EQ(host::Count(run.err, "has no snapshot"), 1u) << run.err;
  EXPECT_NE(run.err.find("zrsnap: " + (mount / "dependent").string() +
                         " has no snapshot: it lies in the file system mounted at " + mount.string() +
                         ", and the gpfs manager snapshots only a content path that is a file system's mount "
                         "point or an independent fileset's junction\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(fs::exists(top / "seen"), c.backupRan);
  if (c.backupRan) {
    EXPECT_EQ(ReadFile(top / "seen"), "1 1 " + (mount / "dependent").string() + "\n");
  }
  if (c.exitStatus == 1) {
    EXPECT_NE(run.err.find("zrsnap: refusing to run the backup command: 1 content path(s) have no snapshot "
                           "(--allow-live reads them live)\n"),
              std::string::npos);
    EXPECT_EQ(snapshots(), 0u) << "torn down";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LiveCaseTest,
                         ::testing::Values(LiveCase{"WithoutExec", {}, 0, false},
                                           LiveCase{"Refused", {"--exec", "{SCRIPT}"}, 1, false},
                                           LiveCase{"Allowed", {"--exec", "{SCRIPT}", "--allow-live"}, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A job holds its record file from its start to its teardown: status says so and
// claims nothing about entries that may change; cleanup and a second job touch nothing.
TEST_F(HostExecTest, RunningJobsRecordIsShownInUseAndLeftAlone) {
  const std::string script = "touch " + (top / "started").string() + "; while [ ! -e " + (top / "go").string() +
                             " ]; do sleep 0.05; done; cat \"$ZRSNAP_SNAPSHOT_1/sub/a.txt\" > " +
                             (top / "read").string();
  host::Background job(argv({"run", "-q", "--exec", script, a.string(), b.string()}), {}, top / "out");
  ASSERT_TRUE(Eventually([&] { return fs::exists(top / "started"); })) << job.err();
  const std::string inUse = "by process " + std::to_string(job.pid());

  auto status = zrsnap({"status"});
  EXPECT_EQ(status.exitStatus, 1) << "the record names snapshots: " << status.err;
  EXPECT_NE(status.out.find("in use        " + inUse + "\n"), std::string::npos) << status.out;
  EXPECT_EQ(host::Count(status.out, "\nmounted "), 2u) << status.out;

  for (auto& second : {std::vector<std::string>{"cleanup"}, std::vector<std::string>{"run", a.string()}}) {
    auto refused = zrsnap(second);
    EXPECT_EQ(refused.exitStatus, 1) << second[0] << ": " << refused.out << refused.err;
    EXPECT_NE(refused.err.find("The snap record file " + (top / "state/snap.info").string() + " is in use " + inUse +
                               ": its snapshots are left alone"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(snapshots(), 2u) << second[0] << " touched the running job's snapshots";
  }
  host::WriteFile(top / "go", "");
  int end = job.waitBounded();
  EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << job.err();
  EXPECT_EQ(ReadFile(top / "read"), "alpha\n") << "the backup read its snapshot after the others tried";
  EXPECT_NE(zrsnap({"status"}).out.find("in use        no\n"), std::string::npos);
}

// ------------------------------------------------- no job ends without its teardown

// A reader that went away (`| head`) or a full disk: zrsnap's writes fail, it goes
// on to the end of its job, and output that was asked for and lost fails it.
struct LostOutputCase {
  const char* name;
  std::vector<std::string> args;  // {A} is the volume's path; cleanup and status follow a run
  bool brokenPipe;                // else stdout is /dev/full and stderr a file
  int exitStatus;
  size_t snapshotsLeft;
};
void PrintTo(const LostOutputCase& c, std::ostream* os) { *os << c.name; }

class LostOutputTest : public HostExecTest, public ::testing::WithParamInterface<LostOutputCase> {
 protected:
  // The wait status of zrsnap writing into a pipe whose reader is gone, or into /dev/full.
  int runInto(const std::vector<std::string>& args, bool brokenPipe) {
    int out = -1, err = -1;
    if (brokenPipe) {
      int fds[2];
      EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
      ::close(fds[0]);
      out = err = fds[1];
    } else {
      out = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    host::Background job(args, {{"TMPDIR", (top / "tmp").string()}}, top / "out", out, err);
    ::close(out);
    int status = job.waitBounded();
    stderrText = brokenPipe ? "" : job.err();
    return status;
  }
  std::string stderrText;
};

TEST_P(LostOutputTest, TheJobEndsAsItWouldAndLostOutputFailsIt) {
  const LostOutputCase& c = GetParam();
  fs::create_directories(top / "tmp");
  if (c.args[0] == "cleanup" || c.args[0] == "status") {
    ASSERT_EQ(zrsnap({"run", "-q", a.string()}).exitStatus, 0);
  }
  std::vector<std::string> args;
  for (auto& arg : c.args) args.push_back(arg == "{A}" ? a.string() : arg);
  int status = runInto(c.args[0] == "demo" ? args : argv(args), c.brokenPipe);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), c.exitStatus) << stderrText;
  EXPECT_EQ(snapshots(), c.snapshotsLeft);
  EXPECT_TRUE(fs::is_empty(top / "tmp")) << "the demo's folder stays";
  if (!c.brokenPipe) {
    EXPECT_EQ(host::Count(stderrText,
                          "zrsnap: cannot write to standard output: No space left on device; the rest "
                          "of what zrsnap prints there is dropped\n"),
              1u)
        << stderrText;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostOutputTest,
    ::testing::Values(LostOutputCase{"BackupIntoAClosedPipe", {"run", "--exec", "true", "{A}"}, true, 0, 0},
                      LostOutputCase{"MapIntoAClosedPipe", {"run", "{A}"}, true, 1, 1},
                      LostOutputCase{"CleanupIntoAClosedPipe", {"cleanup"}, true, 1, 0},
                      LostOutputCase{"DemoIntoAClosedPipe", {"demo"}, true, 1, 0},
                      LostOutputCase{"JsonMapIntoAFullDisk", {"run", "--json", "{A}"}, false, 1, 1},
                      LostOutputCase{"StatusIntoAFullDisk", {"status"}, false, 2, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Under a terminal, a backup that reads it would be stopped (SIGTTIN) while zrsnap
// waits: it has no controlling terminal, so the read fails and the job goes on.
TEST_F(HostExecTest, ABackupThatReadsTheTerminalCannotStopTheJob) {
  const std::string script = "read line < /dev/tty; echo $? > " + (top / "read").string();
  std::vector<std::string> texts{ZRSNAP_BINARY};
  for (auto& arg : argv({"run", "-q", "--exec", script, a.string()})) texts.push_back(arg);
  std::vector<char*> args;
  for (auto& t : texts) args.push_back(t.data());
  args.push_back(nullptr);
  int terminal = -1;
  pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0) << std::strerror(errno);
  if (pid == 0) {
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  std::string screen;
  auto drain = [&] {
    char buffer[4096];
    ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n > 0) screen.append(buffer, static_cast<size_t>(n));
    return n <= 0;  // EIO once zrsnap and its children closed the terminal
  };
  int status = 0;
  bool ended = Eventually([&] {
    pollfd p{terminal, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1 && !drain()) {
    }
    return ::waitpid(pid, &status, WNOHANG) == pid;
  });
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ::close(terminal);
  ASSERT_TRUE(ended) << "zrsnap waits for a stopped backup: " << screen;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_NE(ReadFile(top / "read"), "0\n") << "the backup read the terminal";
  EXPECT_NE(ReadFile(top / "read"), "");
  EXPECT_EQ(snapshots(), 0u);
}

namespace {
// The state letter of /proc/PID/stat: R, S, T (stopped), Z...
char StateOf(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}
}  // namespace

// A stopped backup acts on a forwarded signal only once continued.
TEST_F(HostExecTest, AForwardedSignalReachesAStoppedBackup) {
  const std::string script = "trap 'echo got > " + (top / "got").string() + "; exit 7' TERM; echo $$ > " +
                             (top / "leader").string() + "; kill -STOP $$; sleep 300";
  host::Background job(argv({"run", "-q", "--exec", script, a.string()}), {}, top / "out");
  pid_t leader = pidIn("leader");
  ASSERT_TRUE(Eventually([&] { return StateOf(leader) == 'T'; })) << job.err();
  ASSERT_EQ(::kill(job.pid(), SIGTERM), 0);
  int status = job.waitBounded();
  ASSERT_TRUE(WIFEXITED(status)) << job.err();
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << job.err();
  EXPECT_EQ(ReadFile(top / "got"), "got\n");
  EXPECT_EQ(snapshots(), 0u);
}

namespace {
// The sanitizer's options of this run, with more.
std::string AsanOptions(const std::string& more) {
  const char* given = std::getenv("ASAN_OPTIONS");
  return (given && *given ? std::string(given) + ":" : std::string()) + more;
}
}  // namespace

// zrsnap killed after it forked the backup's launcher, before the launcher set
// its death signal: the launcher must neither hang nor keep the record's lock.
TEST_F(HostExecTest, ALauncherWhoseZrsnapDiedEndsAndLeavesTheRecordFree) {
  host::Environment env{{"LD_PRELOAD", DIE_AT_FORK},
                        {"ZR_TEST_DIE_AT_FORK", "2"},
                        {"ZR_TEST_FORK_PID_FILE", (top / "launcher").string()},
                        {"ASAN_OPTIONS", AsanOptions("verify_asan_link_order=0")}};
  host::Background job(argv({"run", "-q", "--exec", "touch " + (top / "ran").string(), a.string()}), env, top / "out");
  int status = job.waitBounded();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << job.err();
  pid_t launcher = pidIn("launcher");
  EXPECT_TRUE(Eventually([&] { return ProcessGone(launcher); })) << "the launcher outlived zrsnap";
  ::kill(launcher, SIGKILL);
  auto cleanup = zrsnap({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 0) << cleanup.out << cleanup.err;
  EXPECT_FALSE(fs::exists(top / "ran"));
  EXPECT_EQ(snapshots(), 0u);
}

namespace {
// The signal is in PID's pending sets (/proc/PID/status SigPnd and ShdPnd, hexadecimal).
bool Pending(pid_t pid, int signal) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigPnd:", 0) != 0 && line.rfind("ShdPnd:", 0) != 0) continue;
    if (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (signal - 1))) return true;
  }
  return false;
}
}  // namespace

// SIGUSR1 is the watchdog's news of zrsnap's death, but anyone may send it.
TEST_F(HostExecTest, TheWatchdogTakesOnlyARealDeath) {
  const std::string script = "echo $$ > " + (top / "leader").string() + "; while [ ! -e " + (top / "go").string() +
                             " ]; do sleep 0.05; done; echo ok > " + (top / "ok").string();
  host::Background job(argv({"run", "-q", "--exec", script, a.string()}), {}, top / "out");
  pid_t watchdog = WatchdogOf(ParentOf(pidIn("leader")));
  ASSERT_GT(watchdog, 0);
  ASSERT_EQ(::kill(watchdog, SIGUSR1), 0);
  // Taken and waited on again, or acted upon.
  EXPECT_TRUE(
      Eventually([&] { return ProcessGone(watchdog) || (!Pending(watchdog, SIGUSR1) && StateOf(watchdog) == 'S'); }));
  host::WriteFile(top / "go", "");
  int status = job.waitBounded();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << job.err();
  EXPECT_EQ(ReadFile(top / "ok"), "ok\n");
}

// Without --exec a signal while the snapshots are made ends the run, with its teardown.
TEST_F(HostExecTest, ASignalDuringARunWithoutBackupRemovesWhatItMade) {
  auto held = std::make_unique<SimLockHeld>(top / "sim/lock");
  host::Background job(argv({"run", a.string()}), {}, top / "out");
  ASSERT_TRUE(Eventually([&] { return WaitsForALock(job.pid()); })) << job.err();
  ASSERT_EQ(::kill(job.pid(), SIGINT), 0);
  EXPECT_TRUE(Eventually([&] {
    return job.err().find("zrsnap: Interrupt received: the job ends") != std::string::npos;
  })) << "said at once, while the engine is still held: "
      << job.err();
  held.reset();
  int status = job.waitBounded();
  ASSERT_TRUE(WIFEXITED(status)) << job.err();
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT) << job.err();
  EXPECT_NE(job.err().find("zrsnap: Interrupt received while the snapshots were made: they are removed again\n"),
            std::string::npos)
      << job.err();
  EXPECT_EQ(snapshots(), 0u);
  EXPECT_EQ(record(), "");
}
