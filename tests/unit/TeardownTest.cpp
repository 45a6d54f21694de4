// SPDX-License-Identifier: Apache-2.0
#include "KindTest.h"
#include "zr/ZrException.h"

using test::FileExists;
using test::KindTest;
using test::ReadFile;
using test::ReadLines;
using test::WriteFile;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
const char kSigCleanupSnap[] =
    "bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::__cxx11::list<SP<FlrSnapOS::LV> >&, std::string&, "
    "std::string&)";
}

class TeardownTest : public KindTest {
 protected:
  // One recorded snapshot of a job, mounted on its own directory.
  void SetUp() override {
    KindTest::SetUp();
    vol = addJobVolume("vg-a");
    ASSERT_FALSE(initialize(*m).IsError());
    ASSERT_FALSE(runJob({vol}).IsError()) << m->GetLastError();
    snapDir = m->GetSourceToLocalMap()[vol];
    record = ReadFile(info);
    log->lines.clear();
  }
  std::string vol, snapDir, record;
};
INSTANTIATE_TEST_SUITE_P(Managers, TeardownTest, ::testing::Values("native", "gpfs"), test::KindName);

TEST_P(TeardownTest, MountedSnapshotIsUnmountedDeletedAndListedAsDone) {
  std::string special = engine->snapshots()[0].device;
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_FALSE(FileExists(snapDir));
  EXPECT_EQ(ReadFile(info), "");
  EXPECT_EQ(ReadFile(info + ".done"), record);
  auto calls = engine->calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[calls.size() - 2], "unMount " + snapDir) << "unmounted before it is deleted";
  EXPECT_EQ(calls.back().rfind("deleteSnap " + prefix(), 0), 0u);
  auto unmounted = log->matching("Unmounted " + special + " from " + snapDir, ZR_LOG_PROGRESS);
  ASSERT_EQ(unmounted.size(), 1u);
  EXPECT_EQ(unmounted[0].function, kSigCleanupSnap);
  EXPECT_EQ(log->matching("Deleted snap " + special, ZR_LOG_PROGRESS).size(), 1u);
  EXPECT_EQ(m->GetSourceToLocalMap().size(), 1u) << "the map keeps the job's pairs";
}

TEST_P(TeardownTest, FailedUnmountKeepsSnapshotDirectoryAndEntry) {
  engine->inject(Call::UnMount, 1, Fault::ReturnFalse);
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(engine->snapshots().size(), 1u);
  EXPECT_TRUE(engine->callsOf("deleteSnap").empty());
  EXPECT_TRUE(FileExists(snapDir));
  EXPECT_EQ(ReadFile(info), record);
  EXPECT_EQ(ReadFile(info + ".done"), "");
  EXPECT_EQ(log->matching("Failed to umount " + snapDir, ZR_LOG_ERROR).size(), 1u);

  // The next teardown retries it; the done file then lists only what that one removed.
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(ReadFile(info + ".done"), record);
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(ReadFile(info + ".done"), "");
  EXPECT_EQ(ReadFile(info), "") << "a gone snapshot is not carried on by UnMountSnap";
}

TEST_P(TeardownTest, ThrowingUnmountOrDeleteIsLoggedAndKept) {
  engine->inject(Call::UnMount, 1, Fault::ThrowZr, "umount exploded");
  engine->inject(Call::DeleteSnap, 1, Fault::ThrowZr, "lvremove exploded");
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(log->matching("Failed to unmount " + snapDir + ". umount exploded", ZR_LOG_ERROR).size(), 1u);
  EXPECT_EQ(ReadFile(info), record);

  ASSERT_FALSE(m->UnMountSnap().IsError());  // unmount works now, delete throws
  std::string device = engine->snapshots()[0].device;
  EXPECT_EQ(log->matching("Failed to delete snapshot " + device + ". lvremove exploded", ZR_LOG_ERROR).size(), 1u);
  EXPECT_FALSE(FileExists(snapDir)) << "the directory goes with the unmount";
  EXPECT_EQ(ReadFile(info), record);
  EXPECT_FALSE(engine->snapshots()[0].mounted);

  ASSERT_FALSE(m->UnMountSnap().IsError());  // not mounted: deleted without an unmount
  EXPECT_EQ(engine->callsOf("unMount").size(), 2u);
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(ReadFile(info + ".done"), record);
}

TEST_P(TeardownTest, UnmountedSnapshotIsDeletedWithItsDirectory) {
  std::string why;
  ASSERT_EQ(engine->unMount(snapDir, why), FlrSnapOS::UnmountResult::Unmounted);
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(engine->callsOf("unMount").size(), 1u) << "only the test's own";
  EXPECT_EQ(engine->callsOf("deleteSnap").size(), 1u);
  EXPECT_FALSE(FileExists(snapDir)) << "the folder the job made goes with its snapshot";
  EXPECT_EQ(ReadFile(info + ".done"), record);
}

TEST_P(TeardownTest, EmptyVolumeListKeepsEveryEntry) {
  auto empty = std::make_shared<FlrSnapOS::TestEngine>();
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, empty);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, empty);
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(ReadFile(info), record);
  EXPECT_EQ(ReadFile(info + ".done"), "");
}

TEST_P(TeardownTest, DuplicateEntryIsRemovedOnce) {
  WriteFile(info, record + record);
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(ReadFile(info + ".done"), record);
  EXPECT_EQ(ReadFile(info), record) << "the second entry finds nothing";
  for (auto& l : log->matching("", ZR_LOG_ERROR)) ADD_FAILURE() << "a gone snapshot is not an error: " << l.text;
}

TEST_P(TeardownTest, ExceptionFromIsMountedLeavesTheRecordWhole) {
  engine->inject(Call::IsMounted, 1, Fault::ThrowOther, "kernel says no");
  EXPECT_THROW(m->UnMountSnap(), std::runtime_error);
  EXPECT_EQ(ReadFile(info), record);
}

TEST_P(TeardownTest, UnsetRecordPathIsTheOnlyError) {
  auto fresh = makeManager(GetParam());
  size_t listed = engine->callsOf("listVolumes").size();
  CNeError e = fresh->UnMountSnap();
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "SnapFileInfo not set");
  ASSERT_EQ(e.Trail().size(), 2u);
  EXPECT_EQ(e.Trail()[0].function, "CNeError CKestrelNativeSnapManagerPrivate::Cleanup()");
  EXPECT_EQ(e.Trail()[1].function, "virtual CNeError CKestrelNativeSnapManagerPrivate::UnMountSnap()");
  EXPECT_EQ(log->matching("SnapFileInfo not set", ZR_LOG_ERROR).size(), 1u);
  EXPECT_EQ(engine->callsOf("listVolumes").size(), listed) << "no volume is listed";
}

TEST_P(TeardownTest, RecordsNamingDevicesThatCannotBeExaminedNeverMatch) {
  // A snapshot whose own identity has device number 0, and a record of another such path.
  engine->addSnapshot("vg-a", prefix() + "9", dir, "");
  WriteFile(info, "/a:/dev/gone-device:" + dir + "/m\n");
  ASSERT_FALSE(m->Cleanup().IsError());
  EXPECT_TRUE(engine->callsOf("deleteSnap").empty());
  EXPECT_EQ(ReadLines(info).size(), 1u);
}

TEST_P(TeardownTest, SnapshotsTheManagerDidNotMakeAreNeverDeleted) {
  engine->addSnapshot("vg-a", "admin-backup", "admin-dev", "");
  WriteFile(info, "/a:admin-dev:/\n");
  ASSERT_FALSE(m->Cleanup().IsError());
  EXPECT_TRUE(engine->hasSnapshot("admin-backup"));
  EXPECT_EQ(log->matching("Failed to delete snapshot admin-dev. Refusing to delete admin-backup", ZR_LOG_ERROR).size(),
            1u);
}
