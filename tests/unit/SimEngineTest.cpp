#include <sys/stat.h>
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
  // A tree whose deepest path fits under the volume but not under the longer mount directory.
  std::string at = mnt + "/" + std::string(200, 'm') + "/" + std::string(200, 'm');
  std::string deep = vol;
  while (deep.size() + 201 < PATH_MAX - 64) deep += "/" + std::string(200, 'd');
  fs::create_directories(deep);
  fs::create_directories(at);
  ASSERT_GT(at.size() + (deep.size() - vol.size()), static_cast<size_t>(PATH_MAX));
  EXPECT_THROW(theVolume()->createSnap(16, "zrks_1", at), ZrException);
  EXPECT_TRUE(engine->state().snapshots.empty());
  EXPECT_TRUE(fs::is_empty(at));
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
