// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TestSupport.h"
#include "zr/CommandRunner.h"
#include "zr/ZrException.h"

namespace {
// The first line of a command's output as a process id.
pid_t PidFrom(const std::string& out) { return static_cast<pid_t>(std::atol(out.c_str())); }

// True when the process (not our child) is gone or a zombie within the bound;
// the bound only limits how long a failing test takes.
bool EndsWithin(pid_t pid, int seconds) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  int n = ::poll(&p, 1, seconds * 1000);
  ::close(fd);
  return n == 1;
}

// Running or sleeping, not a zombie.
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// Sets a variable of ours for one test.
struct ScopedEnv {
  std::string name, old;
  bool had;
  ScopedEnv(const std::string& n, const std::string& value) : name(n), had(std::getenv(n.c_str()) != nullptr) {
    if (had) old = std::getenv(n.c_str());
    ::setenv(n.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had) {
      ::setenv(name.c_str(), old.c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
};
}  // namespace

TEST(CommandRunner, CapturesOutputsApartAndTheExitStatus) {
  zr::CommandOptions options;
  options.environment = {{"EXTRA", "x y"}};
  auto r = zr::RunCommand({"/bin/sh", "-c", "echo out; echo err >&2; echo \"$LC_ALL $EXTRA\"; exit 7"}, options);
  EXPECT_EQ(r.exitStatus, 7);
  EXPECT_EQ(r.out, "out\nC x y\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.describeFailure({"sh", "-c", "..."}), "sh -c ... exited with status 7: err");
}

TEST(CommandRunner, LooksUpThePathAndReportsWhatCannotStart) {
  EXPECT_TRUE(zr::RunCommand({"true"}).ok());
  try {
    zr::RunCommand({"/nonexistent/tool", "arg"});
    FAIL() << "started a command that does not exist";
  } catch (const ZrException& e) {
    EXPECT_EQ(e.formatError(), "Cannot run /nonexistent/tool arg (No such file or directory)");
  }
  try {
    zr::RunCommand({"zr-no-such-tool"});
    FAIL() << "started a command that is nowhere";
  } catch (const ZrException& e) {
    EXPECT_EQ(e.formatError(),
              "Cannot run zr-no-such-tool: not found in /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "
              "(No such file or directory)");
  }
}

TEST(CommandRunner, KillsACommandThatHangs) {
  zr::CommandOptions options;
  options.timeoutSeconds = 1;
  auto r = zr::RunCommand({"/bin/sh", "-c", "echo started; exec sleep 30"}, options);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_EQ(r.describeFailure({"sleep"}), "sleep did not finish in time and was killed by signal Terminated");
}

// Whatever the command started dies with it on a timeout, whether it heeds SIGTERM or not.
TEST(CommandRunner, ATimeoutEndsTheCommandsWholeProcessGroup) {
  struct Case {
    const char* name;
    const char* script;
    int signal;
  };
  for (const Case& c : {Case{"heeds SIGTERM", "sleep 120 & echo $!; exec sleep 120", SIGTERM},
                        Case{"ignores SIGTERM", "trap '' TERM; sleep 120 & echo $!; sleep 120; exit 0", SIGKILL}}) {
    SCOPED_TRACE(c.name);
    zr::CommandOptions options;
    options.timeoutSeconds = 1;
    auto r = zr::RunCommand({"/bin/sh", "-c", c.script}, options);
    pid_t grandchild = PidFrom(r.out);
    ASSERT_GT(grandchild, 0) << r.out;
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, c.signal);
    EXPECT_TRUE(EndsWithin(grandchild, 30)) << "the background sleep outlived the timeout";
    ::kill(grandchild, SIGKILL);
  }
}

TEST(CommandRunner, ReturnsWhenTheCommandExitsThoughWhatItStartedHoldsItsOutput) {
  zr::CommandOptions options;
  options.timeoutSeconds = 60;
  auto r = zr::RunCommand({"/bin/sh", "-c", "sleep 20 & echo $!; echo done >&2"}, options);
  pid_t grandchild = PidFrom(r.out);
  ASSERT_GT(grandchild, 0) << r.out;
  EXPECT_TRUE(Alive(grandchild)) << "the call waited for the background sleep to end";
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.err, "done\n");
  ::kill(grandchild, SIGKILL);
}

// A command that changes storage is asked to stop once and then waited for.
TEST(CommandRunner, ACommandThatMayNotBeKilledIsWaitedForAfterItsTimeout) {
  auto log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
  zr::CommandOptions options;
  options.timeoutSeconds = 1;
  options.killOnTimeout = false;
  auto r = zr::RunCommand(
      {"/bin/sh", "-c", "trap 'sleep 2; echo finished; exit 3' TERM; echo started; while :; do sleep 1; done"},
      options);
  g_ptrLogWriter.reset();
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.signal, 0) << "never killed";
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.out, "started\nfinished\n");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.describeFailure({"lvcreate"}).rfind("lvcreate did not finish in time and exited later with status 3", 0),
            0u);
  auto waiting = log->matching("did not finish in time; sent it SIGTERM and keep waiting for it to exit", ZR_LOG_ERROR);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0].text.rfind("/bin/sh -c trap", 0), 0u) << waiting[0].text;
  EXPECT_NE(waiting[0].text.find("timeout 1 s)"), std::string::npos) << waiting[0].text;
  EXPECT_EQ(log->matching("past its timeout of 1 s", ZR_LOG_ERROR).size(), 1u);
}

// A killed command may not die (uninterruptible sleep on a suspended device or
// a frozen file system). Stand-in: one that leaves its process group, which the
// runner signals, for ours and ignores SIGTERM. It ends once the runner has
// said, past the timeout, that it still waits for it.
TEST(CommandRunner, AKilledCommandThatLivesOnIsReportedUntilItEnds) {
  auto log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
  const std::string dir = test::MakeTempDir(), release = dir + "/release";
  log->onText("is still running after SIGKILL", 1, [&] { test::WriteFile(release, ""); });
  zr::CommandOptions options;
  options.timeoutSeconds = 1;
  options.reportEverySeconds = 1;
  auto r = zr::RunCommand({"perl", "-e",
                           "$SIG{TERM} = 'IGNORE'; setpgrp(0, getpgrp(getppid())) or die \"setpgrp: $!\";"
                           "for (1 .. 600) { exit 0 if -e $ARGV[0]; select(undef, undef, undef, 0.1) } exit 1",
                           release},
                          options);
  g_ptrLogWriter.reset();
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(
      log->matching("did not finish in time; sent it SIGTERM, and SIGKILL follows (running for", ZR_LOG_ERROR).size(),
      1u);
  EXPECT_GE(log->matching("is still running after SIGKILL", ZR_LOG_ERROR).size(), 1u);
  EXPECT_EQ(log->matching("past its timeout of 1 s", ZR_LOG_ERROR).size(), 1u);
}

// Nothing of ours reaches a tool that runs with our privileges: neither the
// loader's variables nor a PATH that would choose which program runs.
TEST(CommandRunner, GivesTheCommandOnlyAMinimalEnvironment) {
  std::string dir = test::MakeTempDir();
  test::WriteFile(dir + "/true", "#!/bin/sh\nexit 9\n");
  ::chmod((dir + "/true").c_str(), 0755);
  std::string path = std::getenv("PATH");
  ScopedEnv preload("LD_PRELOAD", "libzr-not-there.so"), library("LD_LIBRARY_PATH", dir),
      passed("ZR_TEST_PASSED", "kept"), ours("PATH", dir + ":" + path);
  ::unsetenv("ZR_TEST_UNSET");
  zr::CommandOptions options;
  options.inherit = {"ZR_TEST_PASSED", "ZR_TEST_UNSET"};
  options.environment = {{"EXTRA", "1"}};
  auto r = zr::RunCommand({"/usr/bin/env"}, options);
  EXPECT_EQ(r.out,
            "EXTRA=1\nLC_ALL=C\nPATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"
            "ZR_TEST_PASSED=kept\n");
  EXPECT_TRUE(zr::RunCommand({"true"}).ok()) << "our PATH chose the program";
  options.inheritAll = true;
  EXPECT_NE(zr::RunCommand({"/usr/bin/env"}, options).out.find("LD_LIBRARY_PATH=" + dir + "\n"), std::string::npos)
      << "a user's own command gets the whole environment";
  std::filesystem::remove_all(dir);
}

TEST(CommandRunner, DescribesEachWayACommandFails) {
  struct Case {
    int exitStatus, signal;
    bool timedOut;
    const char* text;
  };
  for (const Case& c :
       {Case{5, 0, false, "lvm lvs exited with status 5: Volume group missing"},
        Case{-1, SIGSEGV, false, "lvm lvs was killed by signal Segmentation fault: Volume group missing"},
        Case{-1, SIGKILL, true,
             "lvm lvs did not finish in time and was killed by signal Killed: "
             "Volume group missing"},
        Case{0, 0, true,
             "lvm lvs did not finish in time and exited later with status 0: Volume "
             "group missing"}}) {
    zr::CommandResult r;
    r.exitStatus = c.exitStatus;
    r.signal = c.signal;
    r.timedOut = c.timedOut;
    r.err = "  Volume group missing\nsecond line\n";
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.describeFailure({"lvm", "lvs"}), c.text);
  }
}

TEST(CommandRunner, ReportsDeathBySignalAndLargeOutput) {
  auto r = zr::RunCommand({"/bin/sh", "-c", "head -c 1000000 /dev/zero; kill -TERM $$"});
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out.size(), 1000000u) << "both pipes are drained while the child writes";
}

TEST(CommandRunner, LeaksNoDescriptors) {
  int fd = ::open("/dev/null", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(fd, 3);
  auto r = zr::RunCommand({"/bin/sh", "-c", "ls /proc/self/fd"});
  ::close(fd);
  EXPECT_EQ(r.out, "0\n1\n2\n3\n") << "only stdin, stdout, stderr and ls's own directory handle";
}
