// SPDX-License-Identifier: Apache-2.0
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>

#include "TestSupport.h"
#include "engines/sim/SimEngine.h"
#include "zr/ZrException.h"

namespace fs = std::filesystem;
using FlrSnapOS::SimEngine;

class SimEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::MakeTempDir();
    engine = std::make_shared<SimEngine>(dir + "/sim");
    vol = dir + "/vol";
    fs::create_directories(vol + "/d");
    test::WriteFile(vol + "/d/f.txt", "old\n");
    fs::create_symlink("d/f.txt", vol + "/link");
    engine->addVolume("simvg-v", vol);
    mnt = dir + "/mnt";
    fs::create_directories(mnt);
  }
  void TearDown() override { fs::remove_all(dir); }

  SP<FlrSnapOS::LV> theVolume() { return engine->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE).front(); }

  std::string dir, vol, mnt;
  std::shared_ptr<SimEngine> engine;
};

TEST_F(SimEngineTest, SnapshotIsAPointInTimeCopyThatAnotherProcessSees) {
  std::string at = mnt;
  auto snap = theVolume()->createSnap(16, "zrks_1", at);
  test::WriteFile(vol + "/d/f.txt", "new\n");
  EXPECT_EQ(test::ReadFile(mnt + "/d/f.txt"), "old\n");
  EXPECT_TRUE(fs::is_symlink(mnt + "/link"));
  EXPECT_EQ(snap->rdev.getSpecial(), "simvg-v@zrks_1");
  EXPECT_TRUE(snap->isMounted());

  SimEngine later(dir + "/sim");  // a fresh engine over the same folder, as after a restart
  auto volumes = later.state().volumes;
  ASSERT_EQ(volumes.size(), 1u);
  ASSERT_EQ(later.state().snapshots.size(), 1u);
  EXPECT_EQ(later.state().snapshots[0].mountDir, mnt);
}

TEST_F(SimEngineTest, MountTableListsVolumesAndMountedSnapshotsAndTracksChanges) {
  ::usleep(60000);  // a state younger than the time stamps' granularity always counts as changed
  uint64_t before = engine->mountTableGeneration();
  EXPECT_EQ(engine->mountTableGeneration(), before) << "no change, no new generation";
  std::string at = mnt;
  auto snap = theVolume()->createSnap(16, "zrks_1", at);
  EXPECT_NE(engine->mountTableGeneration(), before);
  bool volume = false, snapshot = false;
  for (auto& m : engine->mountTable()) {
    volume |= m.device == "simvg-v" && m.mountPoint == vol;
    snapshot |= m.device == "simvg-v@zrks_1" && m.mountPoint == mnt;
  }
  EXPECT_TRUE(volume);
  EXPECT_TRUE(snapshot);
}

TEST_F(SimEngineTest, UnmountActsOnlyWhereThatSnapshotIsMounted) {
  std::string at = mnt, why;
  auto snap = theVolume()->createSnap(16, "zrks_1", at);
  EXPECT_EQ(engine->unMount(vol, why), FlrSnapOS::UnmountResult::NotOurs) << "never the volume itself";
  EXPECT_EQ(test::ReadFile(vol + "/d/f.txt"), "old\n");
  EXPECT_NE(why.find("no simulated snapshot is mounted on " + vol), std::string::npos);
  EXPECT_THROW(snap->deleteSnap(), ZrException) << "mounted snapshots are not deleted";
  EXPECT_EQ(engine->unMount(mnt, why), FlrSnapOS::UnmountResult::Unmounted);
  EXPECT_TRUE(fs::exists(mnt));
  EXPECT_TRUE(fs::is_empty(mnt));
  EXPECT_FALSE(snap->isMounted());
  snap->deleteSnap();
  EXPECT_TRUE(engine->state().snapshots.empty());
}

TEST_F(SimEngineTest, RefusesWhatTheManagerDidNotMake) {
  std::string at = mnt;
  auto snap = theVolume()->createSnap(16, "admin-copy", at);
  std::string why;
  engine->unMount(mnt, why);
  try {
    snap->deleteSnap();
    FAIL() << "deleted a snapshot without a manager prefix";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find("Refusing to delete admin-copy"), std::string::npos);
  }
  EXPECT_THROW(engine->addVolume("/dev/x", vol), ZrException);
  EXPECT_THROW(engine->addVolume("simvg-other", vol), ZrException) << "one name per directory";
  std::string busy = dir;  // not empty
  EXPECT_THROW(theVolume()->createSnap(16, "zrks_2", busy), ZrException);
}

TEST_F(SimEngineTest, FailedCopyTakesTheSnapshotBack) {
  std::string deep = vol;
  for (int level = 0; level < 130; ++level) deep += "/d";
  fs::create_directories(deep);
  std::string at = mnt;
  try {
    theVolume()->createSnap(16, "zrks_1", at);
    FAIL() << "copied a tree deeper than the bound";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find(": the tree is deeper than 128 levels"), std::string::npos)
        << e.getMessage();
  }
  EXPECT_TRUE(engine->state().snapshots.empty());
  EXPECT_TRUE(fs::is_empty(at));
}

// A link planted in or in place of a copy never leads its removal anywhere else.
TEST_F(SimEngineTest, RemovingACopyFollowsNoLink) {
  struct Case {
    const char* name;
    std::string planted;  // replaced by a link to the victim after the copy
    FlrSnapOS::UnmountResult result;
    const char* why;
  };
  const std::string victim = dir + "/victim";
  for (const Case& c :
       {Case{"in place of the mount directory", mnt, FlrSnapOS::UnmountResult::Failed,
             "it is a symbolic link, not a directory"},
        Case{"in place of a directory in the copy", mnt + "/d", FlrSnapOS::UnmountResult::Unmounted, ""}}) {
    SCOPED_TRACE(c.name);
    fs::create_directories(victim);
    test::WriteFile(victim + "/keep.txt", "precious\n");
    std::string at = mnt, why;
    auto snap = theVolume()->createSnap(16, "zrks_1", at);
    fs::rename(c.planted, dir + "/moved");
    fs::create_directory_symlink(victim, c.planted);
    EXPECT_EQ(engine->unMount(mnt, why), c.result);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(test::ReadFile(victim + "/keep.txt"), "precious\n");
    // Put things back for the next case.
    fs::remove(c.planted);
    fs::remove_all(mnt);
    fs::remove_all(dir + "/moved");
    fs::create_directories(mnt);
    fs::remove_all(dir + "/sim");
    engine = std::make_shared<SimEngine>(dir + "/sim");
    engine->addVolume("simvg-v", vol);
  }
}

// As a nosuid mount shows them: owners kept (when root can keep them), no setuid or setgid file.
TEST_F(SimEngineTest, CopyKeepsOwnersAndDropsSetuidAndSetgid) {
  const bool root = ::geteuid() == 0;
  test::WriteFile(vol + "/d/tool", "#!/bin/sh\n");
  fs::create_directory(vol + "/shared");
  ::chmod((vol + "/d/tool").c_str(), 06755);
  ::chmod((vol + "/shared").c_str(), 02775);
  if (root) {
    ASSERT_EQ(::chown((vol + "/d/tool").c_str(), 1234, 5678), 0);
    ASSERT_EQ(::chown((vol + "/shared").c_str(), 4321, 8765), 0);
    ASSERT_EQ(::lchown((vol + "/link").c_str(), 1111, 2222), 0);
  }
  std::string at = mnt;
  theVolume()->createSnap(16, "zrks_1", at);
  struct stat tool {
  }, shared{}, link{};
  ASSERT_EQ(::stat((mnt + "/d/tool").c_str(), &tool), 0);
  ASSERT_EQ(::stat((mnt + "/shared").c_str(), &shared), 0);
  ASSERT_EQ(::lstat((mnt + "/link").c_str(), &link), 0);
  EXPECT_EQ(tool.st_mode & 07777, 0755u) << "setuid and setgid dropped";
  EXPECT_EQ(shared.st_mode & 07777, 02775u) << "a directory's setgid only sets the group of new files";
  if (!root) GTEST_SKIP() << "owners can only be kept as root";
  EXPECT_EQ(tool.st_uid, 1234u);
  EXPECT_EQ(tool.st_gid, 5678u);
  EXPECT_EQ(shared.st_uid, 4321u);
  EXPECT_EQ(shared.st_gid, 8765u);
  EXPECT_EQ(link.st_uid, 1111u);
  EXPECT_EQ(link.st_gid, 2222u);
}

// Killed in the middle of its copy, a process leaves a snapshot that the engine
// knows, so the next start can unmount and delete it.
TEST_F(SimEngineTest, ACopyKilledHalfWayIsRegisteredForRemoval) {
  fs::create_directories(vol + "/many");
  for (int i = 0; i < 2000; ++i) test::WriteFile(vol + "/many/f" + std::to_string(i), "x");
  int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, mnt.c_str(), IN_CREATE), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string at = mnt;
    try {
      theVolume()->createSnap(16, "zrks_1", at);
    } catch (...) {
    }
    ::_exit(0);
  }
  pollfd p{watch, POLLIN, 0};
  bool copying = ::poll(&p, 1, 30000) == 1;  // the bound only limits how long a failing test takes
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(watch);
  ASSERT_TRUE(copying) << "the copy never began";

  auto next = std::make_shared<SimEngine>(dir + "/sim");
  auto state = next->state();
  ASSERT_EQ(state.snapshots.size(), 1u);
  EXPECT_EQ(state.snapshots[0].mountDir, mnt);
  EXPECT_TRUE(state.snapshots[0].mounted);
  std::string why;
  ASSERT_EQ(next->unMount(mnt, why), FlrSnapOS::UnmountResult::Unmounted) << why;
  EXPECT_TRUE(fs::is_empty(mnt));
  next->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE).front()->snaps.front()->deleteSnap();
  EXPECT_TRUE(next->state().snapshots.empty());
}

TEST_F(SimEngineTest, ToleratesWhatAKilledProcessLeaves) {
  test::WriteFile(dir + "/sim/state.json.tmp", "{ half writ");
  std::string at = mnt;
  theVolume()->createSnap(16, "zrks_1", at);
  EXPECT_EQ(engine->state().snapshots.size(), 1u);
  test::WriteFile(dir + "/sim/state.json", "{ broken");
  try {
    engine->state();
    FAIL() << "a broken state must be reported";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find(dir + "/sim/state.json"), std::string::npos) << e.getMessage();
  }
}

// Inputs the state fuzzer found or that sit next to them: each is a clear error.
TEST_F(SimEngineTest, StateWithAnImpossibleGenerationIsAClearError) {
  for (const char* generation : {"1e300", "-1", "2.5", "\"7\""}) {
    SCOPED_TRACE(generation);
    test::WriteFile(dir + "/sim/state.json",
                    std::string(R"({"generation":)") + generation + R"(,"volumes":[],"snapshots":[]})");
    try {
      engine->state();
      FAIL() << "loaded a state whose generation is " << generation;
    } catch (const ZrException& e) {
      EXPECT_EQ(std::string(e.getMessage()), "Cannot read the simulated engine's state " + dir +
                                                 "/sim/state.json: \"generation\" is not a whole number of changes");
    }
  }
}

TEST_F(SimEngineTest, RecordedSnapshotsArePresentGoneOrUnknown) {
  std::string at = mnt;
  theVolume()->createSnap(0, "zrks_1", at);
  auto found = engine->findRecorded(FlrSnapOS::FLR_SNAP_ENG_NATIVE,
                                    {"simvg-v@zrks_1", "simvg-v@zrks_2", "simvg-x@zrks_1", "/dev/mapper/vg-lv"});
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].presence, FlrSnapOS::Presence::Present);
  EXPECT_EQ(found[0].snap->id, "zrks_1");
  EXPECT_EQ(found[1].presence, FlrSnapOS::Presence::Absent);
  EXPECT_EQ(found[1].reason, "the simulated volume simvg-v has no snapshot zrks_2");
  EXPECT_EQ(found[2].presence, FlrSnapOS::Presence::Unknown) << "a volume this state does not know";
  EXPECT_EQ(found[3].presence, FlrSnapOS::Presence::Unknown);
  EXPECT_EQ(found[3].reason, "no simulated volume /dev/mapper/vg-lv is registered in " + dir + "/sim");
}

// Taking an unreadable state for an empty one would have the next save wipe it.
TEST_F(SimEngineTest, UnreadableStateIsAnErrorAndIsNeverOverwritten) {
  const std::string state = dir + "/sim/state.json";
  const std::string saved = test::ReadFile(state);
  fs::rename(state, dir + "/saved.json");
  fs::create_symlink(dir + "/elsewhere.json", state);  // a stream would open nothing and see no state
  try {
    engine->addVolume("simvg-w", vol + "/d");
    ADD_FAILURE() << "a volume was added to a state that could not be read";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()).rfind("Cannot read the simulated engine's state " + state, 0), 0u)
        << e.getMessage();
  }
  EXPECT_TRUE(fs::is_symlink(state)) << "the state was not replaced";
  fs::remove(state);
  fs::rename(dir + "/saved.json", state);
  EXPECT_EQ(test::ReadFile(state), saved);
}
