// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"
#include "zr/ZrException.h"

using test::EngineTest;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
const char kSigFindLV[] = "CNeError CKestrelNativeSnapManagerPrivate::FindLV(std::string&, SP<FlrSnapOS::LV>&)";
const char kSigIsPossible[] =
    "CNeError CKestrelNativeSnapManagerPrivate::isNativeSnapPossible(std::string&, SP<FlrSnapOS::LV>&)";
}  // namespace

class LookupTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m = makeManager();
  }
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
  SP<FlrSnapOS::LV> lv;
};

TEST_F(LookupTest, RootIsRefusedBeforeAnyLookup) {
  std::string root = "/";
  CNeError e = m->isNativeSnapPossible(root, lv);
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "Subclient content belongs to /. Native Snap is not supported on root volume");
  EXPECT_EQ(m->GetLastError(), e.Message());
  EXPECT_TRUE(engine->calls().empty());
  EXPECT_FALSE(lv);
  EXPECT_EQ(log->matching(e.Message(), ZR_LOG_PROGRESS).size(), 1u);

  std::string doubled = "//";  // not caught by the text test: goes on to the mount table
  e = m->isNativeSnapPossible(doubled, lv);
  EXPECT_EQ(e.Message(), "// not found in mount point list. Cannot create Native Snap");
}

TEST_F(LookupTest, MissingPathFailsWithTheErrnoOfStat) {
  std::string path = dir + "/missing";
  CNeError e = m->isNativeSnapPossible(path, lv);
  EXPECT_EQ(e.Code(), ENOENT);
  EXPECT_EQ(e.Message(), "Unable to stat " + path + ". Cannot create Native Snap");
  EXPECT_TRUE(engine->callsOf("listVolumes").empty()) << "FindLV must not run";
  ASSERT_EQ(e.Trail().size(), 1u);
  EXPECT_EQ(e.Trail()[0].function, kSigIsPossible);
  EXPECT_EQ(e.Trail()[0].file, "Unix/Kestrel/KestrelNativeSnapManagerPrivate");
}

TEST_F(LookupTest, DirectoryThatIsNoMountPointIsNotInTheList) {
  std::string path = dir;
  CNeError e = m->isNativeSnapPossible(path, lv);
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), dir + " not found in mount point list. Cannot create Native Snap");
  ASSERT_EQ(e.Trail().size(), 2u) << "FindLV's location, then isNativeSnapPossible's";
  EXPECT_EQ(e.Trail()[0].function, kSigFindLV);
  EXPECT_EQ(e.Trail()[1].function, kSigIsPossible);
}

TEST_F(LookupTest, FindsTheRecordAndLogsTheDeviceEveryCall) {
  std::string home = addVolume("testvg-home");
  addVolume("testvg-data");
  for (int i = 0; i < 2; ++i) {
    SP<FlrSnapOS::LV> found;
    ASSERT_FALSE(m->isNativeSnapPossible(home, found).IsError());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, "testvg-home");
  }
  EXPECT_EQ(engine->callsOf("listVolumes").size(), 2u) << "the list is fetched afresh per lookup";
  auto dev = log->matching("LV Dev Name: 'testvg-home', SourceVolume " + home, ZR_LOG_ERROR);
  ASSERT_EQ(dev.size(), 2u);
  EXPECT_EQ(dev[0].function, kSigFindLV);
  EXPECT_EQ(log->matching("testvg-home Found in LV list", ZR_LOG_ERROR).size(), 2u);
  EXPECT_EQ(m->GetLastError(), "") << "success leaves the last error alone";
}

TEST_F(LookupTest, VolumeMountedAfterTheFirstLookupIsFound) {
  std::string first = addVolume("testvg-first");
  ASSERT_FALSE(m->isNativeSnapPossible(first, lv).IsError());
  std::string late = addVolume("testvg-late");
  SP<FlrSnapOS::LV> found;
  EXPECT_FALSE(m->isNativeSnapPossible(late, found).IsError()) << m->GetLastError();
}

TEST_F(LookupTest, BareDeviceNamesMatchOnlyByteForByte) {
  std::string path = dir + "/tmpfs";
  std::filesystem::create_directories(path);
  engine->addMount("tmpfs", path);
  engine->addVolume("tmpfs0", dir + "/elsewhere");
  CNeError e = m->isNativeSnapPossible(path, lv);
  EXPECT_EQ(e.Message(), "Subclient content " + path + " is not a Native Scan Capable mount path");
  EXPECT_EQ(e.Code(), 22);
}

TEST_F(LookupTest, FailedMountTableReadCountsAsNotFound) {
  std::string home = addVolume("testvg-home");
  ASSERT_FALSE(m->isNativeSnapPossible(home, lv).IsError());  // the table is built
  engine->inject(Call::MountTable, 0, Fault::ThrowZr, "mountinfo unreadable");
  engine->markMountTableChanged();
  CNeError e = m->isNativeSnapPossible(home, lv);
  EXPECT_EQ(e.Message(), home + " not found in mount point list. Cannot create Native Snap");
}

TEST_F(LookupTest, VolumeListFailureLeavesTheCallerUnlogged) {
  std::string home = addVolume("testvg-home");
  engine->inject(Call::ListVolumes, 0, Fault::ThrowZr, "lvs failed");
  EXPECT_THROW(m->isNativeSnapPossible(home, lv), ZrException);
  EXPECT_EQ(m->GetLastError(), "");
}
