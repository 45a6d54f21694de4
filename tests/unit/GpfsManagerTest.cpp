// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"

using test::EngineTest;
using test::ReadLines;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
const char kSigGpfsCreate[] =
    "virtual CNeError CGpfsSnapManagerPrivate::CreateAndMountSnap(std::__cxx11::list<std::__cxx11::basic_string<char> "
    ">&)";
}

class GpfsManagerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m = makeManager("gpfs");
    fs0 = addVolume("gpfs0", true);
    fileset = fs0 + "/projects";
    std::filesystem::create_directories(fileset + "/deep");
    engine->addNestedVolume("gpfs0", "gpfs0@projects", fileset);
    ASSERT_FALSE(initialize(*m).IsError());
    log->lines.clear();
  }
  CNeError run(std::list<std::string> contents) { return m->CreateAndMountSnap(contents); }
  std::vector<std::string> snapshotOrigins() {
    std::vector<std::string> out;
    for (auto& c : engine->callsOf("createSnap")) out.push_back(c.substr(11, c.find(' ', 11) - 11));
    return out;
  }
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
  std::string fs0, fileset;
};

TEST_F(GpfsManagerTest, PrefixListAndRemount) {
  EXPECT_EQ(m->getSnapDevPrefix(), "zrgpfs_");
  EXPECT_FALSE(dynamic_cast<CGpfsSnapManagerPrivate&>(*m).ReMountSnaps().IsError());
  size_t before = engine->calls().size();
  EXPECT_FALSE(run({}).IsError());
  EXPECT_EQ(engine->calls().size(), before);
}

TEST_F(GpfsManagerTest, MountPointAndNestedPathGiveTwoSnapshotsMountPointFirst) {
  size_t listed = engine->callsOf("listVolumes 7").size();
  ASSERT_FALSE(run({fileset + "/", fs0}).IsError()) << m->GetLastError();
  EXPECT_EQ(snapshotOrigins(), (std::vector<std::string>{"gpfs0", "gpfs0@projects"}));
  auto pairs = m->GetSourceToLocalMap();
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs.count(fs0), 1u);
  EXPECT_EQ(pairs.count(fileset), 1u) << "keyed by the nested volume's own mountPath";
  EXPECT_EQ(pairs[fs0].rfind(mountRoot + "/zrgpfs_", 0), 0u);
  EXPECT_EQ(engine->callsOf("listVolumes 7").size(), listed + 1) << "each file system is checked once";
  EXPECT_EQ(log->matching("LV Dev Name: 'gpfs0'", ZR_LOG_ERROR).size(), 1u);

  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_TRUE(engine->snapshots().empty()) << "teardown finds fileset snapshots too";
  EXPECT_EQ(ReadLines(info + ".done").size(), 2u);
}

TEST_F(GpfsManagerTest, PathThatIsNeitherIsCheckedAndFrozenButNotSnapshotted) {
  ::setenv("UDC_CALL_LOG", (dir + "/udc").c_str(), 1);
  ::setenv("ZRSNAP_LIBRARY_DIR", UDC_OK_DIR, 1);
  ASSERT_FALSE(initialize(*m, true).IsError());
  ASSERT_FALSE(run({fileset + "/deep"}).IsError());
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
  EXPECT_TRUE(m->GetSourceToLocalMap().empty());
  EXPECT_TRUE(m->IsDCFreeze(fs0));
}

TEST_F(GpfsManagerTest, AllFileSystemsAreFrozenInOrderBeforeTheFirstSnapshot) {
  std::string fs1 = addVolume("gpfs1", true);
  std::string calls = dir + "/udc";
  ::setenv("UDC_CALL_LOG", calls.c_str(), 1);
  ::setenv("ZRSNAP_LIBRARY_DIR", UDC_OK_DIR, 1);
  ASSERT_FALSE(initialize(*m, true).IsError());
  size_t frozenAtFirstSnapshot = 0;
  engine->inject(Call::CreateSnap, 1, Fault::Before, "", [&] { frozenAtFirstSnapshot = ReadLines(calls).size(); });
  ASSERT_FALSE(run({fs1, fs0}).IsError());
  EXPECT_EQ(frozenAtFirstSnapshot, 2u);
  auto frozen = ReadLines(calls);
  EXPECT_EQ(frozen[0].substr(0, fs0.size()), fs0);
  EXPECT_EQ(frozen[1].substr(0, fs1.size()), fs1);
}

TEST_F(GpfsManagerTest, NestedVolumeOnTheMountPointWinsTheKey) {
  engine->addNestedVolume("gpfs0", "gpfs0@rootset", fs0);
  ASSERT_FALSE(run({fs0}).IsError());
  EXPECT_EQ(snapshotOrigins(), (std::vector<std::string>{"gpfs0@rootset"}));
}

TEST_F(GpfsManagerTest, SecondSnapshotFailureRollsBackTheFirst) {
  engine->inject(Call::CreateSnap, 2, Fault::ThrowZr, "mmcrsnapshot: 6027-2601 already exists");
  CNeError e = run({fs0, fileset});
  EXPECT_EQ(e.Message(), "mmcrsnapshot: 6027-2601 already exists");
  EXPECT_EQ(e.Trail().size(), 1u);
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(m->GetSourceToLocalMap().count(fs0), 0u) << "the rolled-back pair leaves the map";
}

TEST_F(GpfsManagerTest, EmptyNestedHandleIsWin32InvalidParameter) {
  engine->addNullNestedVolume("gpfs0");
  CNeError e = run({fs0});
  EXPECT_EQ(e.Domain(), FXErrorDomain::Win32);
  EXPECT_EQ(e.Code(), 87);
  EXPECT_EQ(e.Message(), "lv is NULL");
  ASSERT_EQ(e.Trail().size(), 1u);
  EXPECT_EQ(e.Trail()[0].file, "Unix/GpfsSnapManagerPrivate");
  EXPECT_EQ(e.Trail()[0].function, kSigGpfsCreate);
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
}

TEST_F(GpfsManagerTest, RefusedFileSystemCarriesTheGpfsLocation) {
  std::string plain = dir + "/plain";
  std::filesystem::create_directories(plain);
  engine->addMount("not-gpfs", plain);
  CNeError e = run({plain});
  EXPECT_EQ(e.Message(), "Subclient content " + plain + " is not a Native Scan Capable mount path");
  ASSERT_EQ(e.Trail().size(), 3u);
  EXPECT_EQ(e.Trail()[2].function, kSigGpfsCreate);
}

// A bind mount of a sub-folder of a GPFS file system shows that folder, and so
// does what the backup is handed; a fileset's junction, which is no mount, is
// handed its own snapshot directory.
TEST_F(GpfsManagerTest, ABindMountOfASubFolderIsHandedThatFolderOfTheSnapshot) {
  const std::string bind = dir + "/srv-x";
  std::filesystem::create_directories(bind);
  engine->addMount("gpfs0", bind, "/data");
  engine->inject(Call::CreateSnap, 1, Fault::After, "",
                 [&] { std::filesystem::create_directories(engine->snapshots()[0].mountDir + "/data"); });
  ASSERT_FALSE(run({bind, fileset}).IsError()) << m->GetLastError();
  auto pairs = m->GetSourceToLocalMap();
  ASSERT_EQ(engine->snapshots().size(), 2u);
  std::map<std::string, std::string> dirs;  // origin -> the snapshot's directory
  for (auto& s : engine->snapshots()) dirs[s.origin] = s.mountDir;
  EXPECT_EQ(pairs[bind], dirs["gpfs0"] + "/data");
  EXPECT_EQ(pairs[fileset], dirs["gpfs0@projects"]);
}
