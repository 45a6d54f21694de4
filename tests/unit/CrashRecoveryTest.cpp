// SPDX-License-Identifier: Apache-2.0
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "KindTest.h"

using test::KindTest;
using test::ReadFile;
using test::ReadLines;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
const int kCrashed = 77;
[[noreturn]] void Die() { ::_exit(kCrashed); }

struct CrashPoint {
  const char* name;
  // Arms the crash in the child; both the engine and the log writer can trigger it.
  std::function<void(FlrSnapOS::TestEngine&, test::CapturingLogWriter&)> arm;
  bool duringTeardown;  // the job succeeds and the crash comes in UnMountSnap
};

std::vector<CrashPoint> CrashPoints() {
  using E = FlrSnapOS::TestEngine;
  using L = test::CapturingLogWriter;
  auto onEngine = [](Call c, int n, Fault f) { return [=](E& e, L&) { e.inject(c, n, f, "", Die); }; };
  auto onLog = [](const char* text, int n) { return [=](E&, L& l) { l.onText(text, n, Die); }; };
  return {
      {"first record line written", onLog("Added ", 1), false},
      {"inside the first create, before its work", onEngine(Call::CreateSnap, 1, Fault::Before), false},
      {"inside the first create, after its work", onEngine(Call::CreateSnap, 1, Fault::After), false},
      {"first map entry made", onLog("Added ", 2), false},
      {"inside the second create, before its work", onEngine(Call::CreateSnap, 2, Fault::Before), false},
      {"inside the second create, after its work", onEngine(Call::CreateSnap, 2, Fault::After), false},
      {"teardown between unmount and delete", onEngine(Call::DeleteSnap, 1, Fault::Before), true},
      {"teardown between entries", onLog("Deleted snap", 1), true},
      {"teardown before the rename", onLog("Deleted snap", 2), true},
      {"teardown after the rename", [](E&, L&) {}, true},
  };
}
}  // namespace

class CrashRecoveryTest : public KindTest {
 protected:
  // Runs a two-volume job in a child that dies at the crash point, then loads
  // the engine's state as the child left it.
  void crashChildAt(const CrashPoint& point) {
    std::string a = addJobVolume("vg-a"), b = addJobVolume("vg-b");
    std::string state = dir + "/engine.json";
    engine = std::make_shared<FlrSnapOS::TestEngine>(state);
    engine->addVolume("unused", dir + "/unused");  // writes the state file once
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, engine);
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, engine);
    if (gpfs()) {
      engine->addGpfsFileSystem("vg-a", a);
      engine->addGpfsFileSystem("vg-b", b);
    } else {
      engine->addVolume("vg-a", a);
      engine->addVolume("vg-b", b);
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      point.arm(*engine, *log);
      std::list<std::string> contents{a, b};
      if (initialize(*m).IsError() || m->CreateAndMountSnap(contents).IsError()) ::_exit(1);
      if (point.duringTeardown && m->UnMountSnap().IsError()) ::_exit(2);
      ::_exit(point.duringTeardown ? kCrashed : 3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kCrashed) << "the child never reached " << point.name;
    engine->load();
  }
};
INSTANTIATE_TEST_SUITE_P(Managers, CrashRecoveryTest, ::testing::Values("native", "gpfs"), test::KindName);

TEST_P(CrashRecoveryTest, NothingRecordedSurvivesTheNextInitialize) {
  for (auto& point : CrashPoints()) {
    SCOPED_TRACE(point.name);
    TearDown();
    SetUp();
    crashChildAt(point);

    // At the crash: every snapshot is recorded, whatever the moment.
    std::set<std::string> recorded;
    for (auto& line : ReadLines(info))
      recorded.insert(line.substr(line.find(':') + 1, line.rfind(':') - line.find(':') - 1));
    std::vector<std::string> unrecorded;
    for (auto& s : engine->snapshots()) {
      if (!recorded.count(s.device)) unrecorded.push_back(s.name);
    }
    EXPECT_EQ(unrecorded, std::vector<std::string>{});

    auto next = makeManager(GetParam());
    ASSERT_FALSE(initialize(*next).IsError());
    EXPECT_EQ(snapshotNames(), std::vector<std::string>{}) << "nothing may leak";
    EXPECT_FALSE(test::FileExists(info)) << ReadFile(info);
    std::vector<std::string> folders;
    for (auto& f : std::filesystem::directory_iterator(mountRoot)) folders.push_back(f.path().string());
    EXPECT_EQ(folders, std::vector<std::string>{}) << "no mount folder outlives its snapshot";
  }
}
