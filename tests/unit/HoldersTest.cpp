// SPDX-License-Identifier: Apache-2.0
// The processes that hold a folder, as /proc tells: checked against real
// processes that hold it each in one way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "zr/Holders.h"

namespace {
// A child that holds something under a folder until it is killed; ready once it does.
pid_t HoldingChild(const std::function<bool()>& hold) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    if (!hold()) ::_exit(1);
    (void)!::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  bool held = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!held) {
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}
}  // namespace

TEST(Holders, EachWayAProcessHoldsAFolderIsNamed) {
  const std::string dir = test::MakeTempDir(), file = dir + "/held";
  test::WriteFile(file, std::string(4096, 'x'));
  struct Case {
    const char* how;
    std::function<bool()> hold;
  };
  for (const Case& c : {Case{"cwd", [&] { return ::chdir(dir.c_str()) == 0; }},
                        Case{"open file ", [&] { return ::open(file.c_str(), O_RDONLY) >= 0; }},
                        Case{"mapping ", [&] {
                               int fd = ::open(file.c_str(), O_RDONLY);
                               bool mapped =
                                   fd >= 0 && ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0) != MAP_FAILED;
                               ::close(fd);
                               return mapped;
                             }}}) {
    SCOPED_TRACE(c.how);
    pid_t child = HoldingChild(c.hold);
    ASSERT_GT(child, 0);
    zr::Holders found = zr::ProcessesHolding(dir);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::string how = c.how;
    if (how.back() == ' ') how += std::filesystem::canonical(file).string();
    bool named = false;
    for (auto& p : found.processes) named = named || (p.pid == child && p.how == std::vector<std::string>{how});
    EXPECT_TRUE(named) << found.describe();
    for (auto& p : found.processes) EXPECT_NE(p.pid, ::getpid()) << "this process holds nothing there";
  }
  std::filesystem::remove_all(dir);
}

TEST(Holders, NothingFoundSaysWhatCouldNotBeSeen) {
  zr::Holders none;
  EXPECT_EQ(none.describe(), "no process that this one can see holds it");
  none.unexamined = 3;
  none.unexaminedWhy = "Permission denied";
  none.devices = {"dm-7 (vg-x)"};
  EXPECT_EQ(none.describe(),
            "device-mapper holders: dm-7 (vg-x); 3 process(es) could not be examined (Permission denied)");
}
