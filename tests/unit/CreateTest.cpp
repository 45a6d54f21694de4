// SPDX-License-Identifier: Apache-2.0
#include <sys/time.h>
#include <unistd.h>

#include <set>

#include "TestSupport.h"

using test::EngineTest;
using test::FileExists;
using test::ReadFile;
using test::ReadLines;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
const char kSigCreate[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::CreateAndMountSnap(std::__cxx11::list<std::__cxx11::basic_"
    "string<char> >&)";
const char kSigSnapAndMount[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::SnapAndMount(std::string, SP<FlrSnapOS::LV>&)";

// prefix followed by one to ten decimal digits
bool IsNamed(const std::string& text, const std::string& prefix) {
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  std::string digits = text.substr(prefix.size());
  return !digits.empty() && digits.size() <= 10 && digits.find_first_not_of("0123456789") == std::string::npos;
}
}  // namespace

class CreateTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m = makeManager();
    home = addVolume("vg-home");
    data = addVolume("vg-data");
    ASSERT_FALSE(initialize(*m).IsError());
    log->lines.clear();
  }
  CNeError run(std::list<std::string> contents) { return m->CreateAndMountSnap(contents); }
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
  std::string home, data;
};

TEST_F(CreateTest, EmptyContentDoesNothing) {
  size_t before = engine->calls().size();
  EXPECT_FALSE(run({}).IsError());
  EXPECT_EQ(engine->calls().size(), before);
  EXPECT_FALSE(FileExists(info + ".done")) << "no Cleanup ran";
}

TEST_F(CreateTest, VolumesAreTakenInByteOrderOncePerVolume) {
  std::filesystem::create_directories(home + "/a");
  std::filesystem::create_directories(data + "/b");
  ASSERT_FALSE(run({home + "/a", data + "/b", home}).IsError()) << m->GetLastError();
  auto creates = engine->callsOf("createSnap");
  ASSERT_EQ(creates.size(), 2u);
  EXPECT_EQ(creates[0].rfind("createSnap vg-data ", 0), 0u) << creates[0];
  EXPECT_EQ(creates[1].rfind("createSnap vg-home ", 0), 0u) << creates[1];
  EXPECT_NE(creates[0].find(" 4096"), std::string::npos) << "the COW size is passed on";
  auto pairs = m->GetSourceToLocalMap();
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_TRUE(IsNamed(pairs[data], mountRoot + "/zrks_")) << pairs[data];
  EXPECT_NE(pairs[data], pairs[home]);
  EXPECT_EQ(ReadLines(info).size(), 2u);
  auto created = log->matching("Snap created for " + data + " and mounted at " + pairs[data] + ". SnapDevice zrks_",
                               ZR_LOG_PROGRESS);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].function, kSigSnapAndMount);

  // Again on the same manager: the volumes are in the map already.
  ASSERT_FALSE(run({home, data}).IsError());
  EXPECT_EQ(engine->callsOf("createSnap").size(), 2u);
}

TEST_F(CreateTest, OneRefusedPathStopsTheJobBeforeAnySnapshot) {
  engine->addMount("rootdev", "/");
  std::filesystem::create_directories(dir + "/loose");
  CNeError e = run({data, home, dir + "/loose"});
  EXPECT_EQ(e.Message(), "Subclient content belongs to /. Native Snap is not supported on root volume");
  ASSERT_EQ(e.Trail().size(), 2u);
  EXPECT_EQ(e.Trail()[1].function, kSigCreate);
  EXPECT_TRUE(engine->callsOf("createSnap").empty());

  e = run({dir + "/missing"});
  EXPECT_EQ(e.Code(), ENOENT) << "the resolver's own error";
  ASSERT_EQ(e.Trail().size(), 2u);
  EXPECT_EQ(e.Trail()[1].function, kSigCreate);
}

TEST_F(CreateTest, FailedSecondSnapshotRollsBackTheFirst) {
  engine->inject(Call::CreateSnap, 2, Fault::ThrowZr, "lvcreate: 100% of the VG is used");
  CNeError e = run({home, data});
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "lvcreate: 100% of the VG is used");
  EXPECT_EQ(m->GetLastError(), "lvcreate: 100% of the VG is used");
  ASSERT_EQ(e.Trail().size(), 1u) << "returned unchanged";
  EXPECT_EQ(e.Trail()[0].function, kSigSnapAndMount);
  EXPECT_TRUE(engine->snapshots().empty()) << "Cleanup removed the first snapshot";
  EXPECT_EQ(ReadLines(info + ".done").size(), 1u);
  EXPECT_TRUE(m->GetSourceToLocalMap().empty()) << "the rolled-back pair leaves the map";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0) << "no directory is left";

  // A retry on the same manager snapshots both volumes again.
  ASSERT_FALSE(run({home, data}).IsError());
  EXPECT_EQ(engine->snapshots().size(), 2u);
  EXPECT_EQ(m->GetSourceToLocalMap().size(), 2u);
}

TEST_F(CreateTest, ForeignExceptionsGetAGenericMessage) {
  engine->inject(Call::CreateSnap, 1, Fault::ThrowOther, "bad_alloc");
  CNeError e = run({data});
  EXPECT_EQ(e.Message(), "Create snap failed for " + data);
  EXPECT_EQ(log->matching("Create snap failed for " + data, ZR_LOG_ERROR).size(), 1u);
}

TEST_F(CreateTest, EngineMayMountElsewhere) {
  std::string elsewhere = dir + "/elsewhere";
  std::filesystem::create_directories(elsewhere);
  engine->inject(Call::CreateSnap, 1, Fault::ChangeMountDir, elsewhere);
  ASSERT_FALSE(run({data}).IsError());
  EXPECT_EQ(m->GetSourceToLocalMap()[data], elsewhere);
  EXPECT_EQ(ReadLines(info)[0], data + ":" + engine->snapshots()[0].device + ":" + elsewhere);
  EXPECT_EQ(ReadFile(map), "m:" + data + ":" + elsewhere + ":\n");
  EXPECT_EQ(log->matching("and mounted at " + elsewhere + ".").size(), 1u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0) << "the planned directory is gone";
}

TEST_F(CreateTest, EmptyMountRootMountsUnderTheRootDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs to create a directory in /";
  ASSERT_FALSE(m->Initialize(false, info, map, "").IsError());
  ASSERT_FALSE(run({data}).IsError());
  std::string made = m->GetSourceToLocalMap()[data];
  EXPECT_TRUE(IsNamed(made, "/zrks_")) << made;
  EXPECT_TRUE(FileExists(made));
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_FALSE(FileExists(made));
}

TEST_F(CreateTest, WithoutARecordPathNothingIsCreated) {
  auto fresh = makeManager();
  size_t before = engine->calls().size();
  SP<FlrSnapOS::LV> none;
  CNeError e = fresh->SnapAndMount(data, none);
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "SnapFileInfo not set");
  EXPECT_EQ(fresh->GetLastError(), "SnapFileInfo not set");
  EXPECT_EQ(engine->calls().size(), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0);
}

TEST_F(CreateTest, NoSnapshotIsMadeWithoutItsRecordLine) {
  ASSERT_FALSE(initialize(*m).IsError());
  std::filesystem::create_directories(info);  // the record can no longer be written
  CNeError e = run({data});
  EXPECT_EQ(e.Code(), 22);
  EXPECT_NE(e.Message().find("in " + info + ": Is a directory"), std::string::npos) << e.Message();
  EXPECT_TRUE(engine->callsOf("createSnap").empty()) << "the record line comes first";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0);
  EXPECT_TRUE(m->GetSourceToLocalMap().empty());
}

TEST_F(CreateTest, SnapshotThatCannotBeRecordedAsMadeIsTakenBack) {
  // Mounted elsewhere by the engine, under a device text a record cannot hold.
  std::string elsewhere = dir + "/elsewhere";
  std::filesystem::create_directories(elsewhere);
  engine->inject(Call::CreateSnap, 1, Fault::ChangeMountDir, elsewhere);
  engine->inject(Call::CreateSnap, 1, Fault::Before, "", [&] { engine->setSnapDeviceFormat("host:/snaps/{name}"); });
  CNeError e = run({data});
  EXPECT_NE(e.Message().find("its device host:/snaps/zrks_"), std::string::npos) << e.Message();
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(engine->callsOf("unMount").size(), 1u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0);
  EXPECT_EQ(ReadFile(info), "") << "its line goes once it is gone";
}

TEST_F(CreateTest, FieldsWithAColonAreRefusedOrTakenBack) {
  std::string odd = dir + "/vol/odd:name";
  std::filesystem::create_directories(odd);
  engine->addVolume("vg-odd", odd);
  CNeError e = run({odd});
  EXPECT_EQ(e.Code(), 22);
  EXPECT_NE(e.Message().find(odd + ": the mount point contains ':'"), std::string::npos) << e.Message();
  EXPECT_TRUE(engine->callsOf("createSnap").empty());

  engine->setSnapDeviceFormat("host:/snaps/{name}");
  e = run({data});
  EXPECT_NE(e.Message().find("its device host:/snaps/zrks_"), std::string::npos) << e.Message();
  EXPECT_TRUE(engine->callsOf("createSnap").empty()) << "refused before it is made";
  EXPECT_EQ(ReadFile(info), "") << "nothing unreadable was recorded";
}

TEST_F(CreateTest, ExistingDirectoriesAreNeverReused) {
  timeval now{};
  gettimeofday(&now, nullptr);
  uint32_t base = static_cast<uint32_t>(now.tv_sec) << 12;
  std::set<std::string> taken;
  for (uint32_t n = base; n < base + 3 * 4096; ++n) {
    std::string d = mountRoot + "/zrks_" + std::to_string(n);
    std::filesystem::create_directory(d);
    taken.insert(d);
  }
  ASSERT_FALSE(run({data}).IsError());
  std::string made = m->GetSourceToLocalMap()[data];
  EXPECT_EQ(taken.count(made), 0u) << made;
  EXPECT_TRUE(std::filesystem::is_empty(made));
}

TEST_F(CreateTest, FreezeComesRightBeforeEachSnapshot) {
  std::string calls = dir + "/udc-calls";
  ::setenv("UDC_CALL_LOG", calls.c_str(), 1);
  ::setenv("ZRSNAP_LIBRARY_DIR", UDC_OK_DIR, 1);
  ASSERT_FALSE(initialize(*m, true).IsError());
  std::vector<size_t> frozenAtSnapshot;
  for (int n = 1; n <= 2; ++n) {
    engine->inject(Call::CreateSnap, n, Fault::Before, "",
                   [&] { frozenAtSnapshot.push_back(ReadLines(calls).size()); });
  }
  ASSERT_FALSE(run({home, data}).IsError());
  EXPECT_EQ(frozenAtSnapshot, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(ReadLines(calls)[0].substr(0, data.size() + 1), data + "|");
  EXPECT_TRUE(m->IsDCFreeze(home));
}

TEST_F(CreateTest, JobThatWouldNotFitMakesNothing) {
  engine->setSpaceShortfall(
      "volume group vg0 has 10 MiB free, the job's snapshots need 64 MiB (vg0/a 32 MiB, vg0/b 32 MiB)");
  CNeError e = run({home, data});
  EXPECT_EQ(e.Code(), ENOSPC);
  EXPECT_EQ(e.Message(),
            "Not enough snapshot space for this job, so no snapshot was made: volume group vg0 has 10 MiB "
            "free, the job's snapshots need 64 MiB (vg0/a 32 MiB, vg0/b 32 MiB)");
  EXPECT_EQ(m->GetLastError(), e.Message());
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
  EXPECT_EQ(ReadFile(info), "");
}

// A bind mount of a sub-folder shows that folder; the snapshot is mounted whole,
// so what the backup is handed must be the same folder inside it.
TEST_F(CreateTest, ABindMountOfASubFolderIsHandedThatFolderOfTheSnapshot) {
  const std::string bind = dir + "/srv-x";
  std::filesystem::create_directories(bind);
  engine->addMount("vg-home", bind, "/sub");
  // The test engine mounts nothing: the snapshot's folder is made as the copy would show it.
  engine->inject(Call::CreateSnap, 1, Fault::After, "",
                 [&] { std::filesystem::create_directories(engine->snapshots()[0].mountDir + "/sub"); });
  ASSERT_FALSE(run({bind}).IsError()) << m->GetLastError();
  const std::string mountDir = engine->snapshots()[0].mountDir;
  EXPECT_EQ(m->GetSourceToLocalMap()[bind], mountDir + "/sub");
  EXPECT_EQ(ReadFile(map), "m:" + bind + ":" + mountDir + "/sub:\n");
  EXPECT_EQ(ReadFile(info), bind + ":" + engine->snapshots()[0].device + ":" + mountDir + "\n") << "what is mounted";

  // The folder the bind mount shows was deleted since: nothing is handed over, nothing stays.
  const std::string gone = dir + "/srv-y";
  std::filesystem::create_directories(gone);
  engine->addMount("vg-data", gone, "/gone//deleted");
  CNeError e = run({gone});
  EXPECT_NE(e.Message().find("Cannot hand over snapshot zrks_"), std::string::npos) << e.Message();
  EXPECT_NE(e.Message().find(gone + " shows the folder /gone//deleted of its file system, and the snapshot has no "),
            std::string::npos)
      << e.Message();
  EXPECT_EQ(m->GetSourceToLocalMap().count(gone), 0u);
  EXPECT_EQ(engine->snapshots().size(), 0u) << "the job's snapshots are all rolled back";
}
