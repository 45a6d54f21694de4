#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "zr/CommandRunner.h"
#include "zr/ZrException.h"

TEST(CommandRunner, CapturesOutputsApartAndTheExitStatus) {
  auto r = zr::RunCommand({"/bin/sh", "-c", "echo out; echo err >&2; echo \"$LC_ALL $EXTRA\"; exit 7"},
                          zr::CommandOptions{0, {{"EXTRA", "x y"}}, true});
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
}

TEST(CommandRunner, KillsACommandThatHangs) {
  zr::CommandOptions options;
  options.timeoutSeconds = 1;
  auto r = zr::RunCommand({"/bin/sh", "-c", "echo started; exec sleep 30"}, options);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_NE(r.describeFailure({"sleep"}).find("did not finish in time"), std::string::npos);
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
