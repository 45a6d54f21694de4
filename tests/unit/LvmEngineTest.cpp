#include <sys/sysmacros.h>

#include <map>

#include "TestSupport.h"
#include "engines/lvm/LvmEngine.h"
#include "zr/ZrException.h"

using FlrSnapOS::LvmEngine;
using FlrSnapOS::LvRow;
namespace LvmReport = FlrSnapOS::LvmReport;

namespace {
std::vector<LvRow> Fixture(const std::string& name) {
  return LvmReport::Parse(test::ReadFile(std::string(FIXTURES) + "/" + name));
}

// The kernel side, as the tests script it: a mount table and a log of calls.
class FakeMounts : public FlrSnapOS::MountOps {
 public:
  std::string probe(const std::string& device) override {
    calls.push_back("probe " + device);
    return fstype;
  }
  void mount(const std::string& device, const std::string& dir, const std::string& type,
             const std::string& options) override {
    calls.push_back("mount " + device + " " + dir + " " + type + " " + options);
    if (!mountError.empty()) throw ZrException(mountError, EINVAL);
    entries.push_back(zr::MountRecord{device, dir, type, "/", options, 0});
  }
  void umount(const std::string& dir) override {
    calls.push_back("umount " + dir);
    if (!umountError.empty()) throw ZrException(umountError, EBUSY);
  }
  std::vector<zr::MountRecord> table() override { return entries; }
  uint64_t generation() override { return 1; }

  std::string fstype = "xfs", mountError, umountError;
  std::vector<std::string> calls;
  std::vector<zr::MountRecord> entries;
};
}  // namespace

TEST(LvmReport, ClassifiesOriginsSnapshotsPoolsAndHiddenVolumes) {
  auto rows = Fixture("lvs-thick-thin.json");
  ASSERT_EQ(rows.size(), 10u);
  std::vector<std::string> origins, snapshots;
  for (auto& r : rows) {
    if (r.canBeSnapshotted()) origins.push_back(r.name);
    if (r.isSnapshot()) snapshots.push_back(r.name);
  }
  EXPECT_EQ(origins, (std::vector<std::string>{"lvext4", "lvxfs", "thinlv"}));
  EXPECT_EQ(snapshots, (std::vector<std::string>{"zrks_1", "zrks_2", "zrks_3", "adminsnap"}));
  EXPECT_TRUE(rows[5].isThin());
  EXPECT_TRUE(rows[7].isThinSnapshot());
  EXPECT_TRUE(rows[8].snapshotInvalid);
  EXPECT_FALSE(rows[6].snapshotInvalid);
  EXPECT_FALSE(rows[4].active());
  EXPECT_EQ(rows[1].device(), makedev(253, 1));
  EXPECT_EQ(rows[1].size, 314572800u);
  EXPECT_TRUE(Fixture("lvs-empty-vg.json").empty());
}

TEST(LvmReport, BrokenReportsAreClearErrors) {
  auto message = [](const std::string& json) {
    try {
      LvmReport::Parse(json);
    } catch (const ZrException& e) {
      return std::string(e.getMessage());
    }
    return std::string("parsed");
  };
  EXPECT_NE(message(test::ReadFile(FIXTURES "/lvs-truncated.json")).find("no readable JSON"), std::string::npos);
  EXPECT_NE(message("{}").find("without a \"report\" list"), std::string::npos);
  EXPECT_NE(message(R"({"report":[{"lv":[{"lv_name":"a"}]}]})").find("has no field vg_name"), std::string::npos);
  std::string badSize = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
  badSize.replace(badSize.find("1073741824"), 10, "1.0g");
  EXPECT_NE(message(badSize).find("lv_size is not a number of bytes: \"1.0g\""), std::string::npos);
  std::string huge = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
  huge.replace(huge.find("1073741824"), 10, "99999999999999999999999");
  EXPECT_NE(message(huge).find("lv_size is not a number of bytes: \"99999999999999999999999\""), std::string::npos);
  EXPECT_EQ(LvmReport::DmName("vg-a", "lv-b"), "vg--a-lv--b");
}

// Neither a deep nor a long report makes a long walk or a long message.
TEST(LvmReport, DeepOrLongReportsGiveShortErrors) {
  auto message = [](const std::string& json) {
    try {
      LvmReport::Parse(json);
    } catch (const ZrException& e) {
      return std::string(e.getMessage());
    }
    return std::string("parsed");
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string longText(100000, 'x');
  auto lvSize = [](const std::string& value) {
    std::string json = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
    return json.replace(json.find("1073741824"), 10, value);
  };
  struct Case {
    std::string json, text;
  };
  for (const Case& c : {
           Case{R"({"report":[{"lv":[)" + deep + "]}]}", "lvs printed a JSON report nested deeper than 16 levels"},
           Case{R"({"report":[{"lv":[{"lv_name":"a","vg_name":)" + deep + "}]}]}",
                "lvs printed a JSON report nested deeper than 16 levels"},
           Case{R"({"report":[{"lv":[[[["x"]]]]}]})", "lvs report has no field lv_name in a row without one"},
           Case{R"({"report":[{"lv":[{"lv_name":")" + longText + R"(","junk":")" + longText + "\"}]}]}",
                "lvs report has no field vg_name in the row of LV \"" + std::string(64, 'x') + "...\""},
           Case{lvSize(std::string(100000, '9')), "lvs report field lv_size is not a number of bytes: \"99999"},
       }) {
    std::string got = message(c.json);
    EXPECT_EQ(got.substr(0, c.text.size()), c.text);
    EXPECT_LT(got.size(), 200u) << got.substr(0, 300);
  }
}

TEST(LvmEngine, MountOptionsFitTheFileSystem) {
  EXPECT_EQ(LvmEngine::MountOptions("xfs"), "ro,nodev,nosuid,nouuid");
  EXPECT_EQ(LvmEngine::MountOptions("ext4"), "ro,nodev,nosuid");
}

class LvmEngineTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    lvmLog = dir + "/lvm.log";
    sysBlock = dir + "/sys-block";
    std::filesystem::create_directories(sysBlock);
    ::setenv("LVM_SYSTEM_DIR", dir.c_str(), 1);
    fakeLvm("FAKE_LVM_LOG", lvmLog);
    fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-thick-thin.json");
    LvmEngine::Config c;
    c.lvm = FIXTURES "/fake-lvm.sh";
    c.sysBlock = sysBlock;
    c.backupDir = dir + "/no-backups";
    mounts = std::make_shared<FakeMounts>();
    lvm = std::make_shared<LvmEngine>(c, mounts);
  }
  SP<FlrSnapOS::LV> volume(const std::string& id) {
    for (auto& lv : lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE)) {
      if (lv->id == id) return lv;
    }
    return SP<FlrSnapOS::LV>();
  }
  std::vector<std::string> lvmCalls() { return test::ReadLines(lvmLog); }
  // A setting of fake-lvm.sh, which reads them from $LVM_SYSTEM_DIR/fake-lvm.env.
  void fakeLvm(const std::string& name, const std::string& value) {
    fakeSettings[name] = value;
    std::string text;
    for (auto& kv : fakeSettings) text += kv.first + "='" + kv.second + "'\n";
    test::WriteFile(dir + "/fake-lvm.env", text);
  }

  std::map<std::string, std::string> fakeSettings;

  std::string lvmLog, sysBlock;
  std::shared_ptr<FakeMounts> mounts;
  std::shared_ptr<LvmEngine> lvm;
};

TEST_F(LvmEngineTest, ListsOriginsWithTheirThickAndThinSnapshots) {
  auto volumes = lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  ASSERT_EQ(volumes.size(), 3u);
  auto ext4 = volumes.front();
  EXPECT_EQ(ext4->id, "vgtest/lvext4");
  EXPECT_EQ(ext4->rdev.getSpecial(), "/dev/mapper/vgtest-lvext4");
  std::vector<std::string> snaps;
  for (auto& s : ext4->snaps) snaps.push_back(s->name);
  EXPECT_EQ(snaps, (std::vector<std::string>{"zrks_1", "zrks_3"}));
  EXPECT_EQ(volume("vgtest/thinlv")->snaps.front()->name, "zrks_2");
  EXPECT_EQ(lvmCalls().size(), 1u);
  EXPECT_EQ(lvmCalls()[0], std::string("lvs --reportformat json --units b --nosuffix -o ") + LvmReport::kFields);
}

TEST_F(LvmEngineTest, ReusesTheReportUntilDeviceMapperChanges) {
  for (int i = 0; i < 5; ++i) lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  EXPECT_EQ(lvmCalls().size(), 1u);
  std::filesystem::create_directories(sysBlock + "/dm-9/dm");
  test::WriteFile(sysBlock + "/dm-9/dev", "253:9\n");
  test::WriteFile(sysBlock + "/dm-9/dm/name", "vgtest-new\n");
  lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  EXPECT_EQ(lvmCalls().size(), 2u);
  lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  EXPECT_EQ(lvmCalls().size(), 2u);
  EXPECT_EQ(lvm->lvmRuns(), 2u);
}

TEST_F(LvmEngineTest, TooSmallVolumeGroupFailsBeforeAnythingIsCreated) {
  std::string at = mountRoot;
  try {
    volume("vgtest/lvxfs")->createSnap(4096, "zrks_9", at);
    FAIL() << "created a snapshot that cannot fit";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()),
              "Cannot snapshot vgtest/lvxfs: volume group vgtest has 96 MiB free, the snapshot needs 300 MiB "
              "(nSnapCowSizeMB is 4096)");
  }
  for (auto& c : lvmCalls()) EXPECT_EQ(c.find("lvcreate"), std::string::npos) << c;
}

TEST_F(LvmEngineTest, ThickSnapshotIsCreatedAndMountedReadOnly) {
  std::string at = mountRoot;
  auto snap = volume("vgtest/lvext4")->createSnap(16, "zrks_9", at);
  EXPECT_EQ(lvmCalls().back(), "lvcreate --yes --snapshot --name zrks_9 --size 16m vgtest/lvext4");
  EXPECT_EQ(snap->rdev.getSpecial(), "/dev/mapper/vgtest-zrks_9");
  EXPECT_EQ(snap->id, "vgtest/zrks_9");
  ASSERT_EQ(mounts->calls.size(), 2u);
  EXPECT_EQ(mounts->calls[1], "mount /dev/mapper/vgtest-zrks_9 " + mountRoot + " xfs ro,nodev,nosuid,nouuid");
  // The engine took its own snapshot into its report: no new lvs run.
  EXPECT_EQ(volume("vgtest/lvext4")->snaps.size(), 3u);
  EXPECT_EQ(lvm->lvmRuns(), 2u);
}

// An agent runs job after job in one process while nothing else touches LVM:
// the report stays valid, so the space each snapshot took must come back.
TEST_F(LvmEngineTest, FreeSpaceDoesNotDriftOverManyJobs) {
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-two-lvs.json");  // 10 GiB free, 1 GiB volumes
  mounts->fstype = "ext4";
  for (int job = 0; job < 15; ++job) {
    std::string at = mountRoot, name = "zrks_" + std::to_string(job);
    SP<FlrSnapOS::Snap> snap;
    ASSERT_NO_THROW(snap = volume("vg/one")->createSnap(4096, name, at)) << "job " << job;
    snap->deleteSnap();
  }
  EXPECT_EQ(lvm->lvmRuns(), 31u) << "one report, then only lvcreate and lvremove";
}

TEST_F(LvmEngineTest, RefusesForSpaceOnlyOnAFreshReport) {
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-two-lvs.json");  // 10 GiB free, 1 GiB volumes
  mounts->fstype = "ext4";
  for (int i = 0; i < 10; ++i) {
    std::string at = mountRoot;
    volume("vg/one")->createSnap(4096, "zrks_" + std::to_string(i), at);  // 1 GiB each, kept
  }
  // By the cache the group is full now; the report (what lvs would say) still has room,
  // as after an administrator extended the group without touching any dm device.
  unsigned before = lvm->lvmRuns();
  std::string at = mountRoot;
  EXPECT_NO_THROW(volume("vg/two")->createSnap(4096, "zrks_10", at));
  EXPECT_EQ(lvmCalls()[before].rfind("lvs ", 0), 0u) << "the cache's refusal was checked against lvs";

  for (int i = 11; i < 20; ++i) {  // the re-read said 10 GiB: drain the cache again
    std::string at1 = mountRoot;
    volume("vg/two")->createSnap(4096, "zrks_" + std::to_string(i), at1);
  }
  fakeLvm("FAKE_LVM_REPORT", dir + "/full.json");  // and this time lvs agrees
  std::string full = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
  full.replace(full.find("10737418240"), 11, "0");
  full.replace(full.find("10737418240"), 11, "0");
  test::WriteFile(dir + "/full.json", full);
  try {
    std::string at2 = mountRoot;
    volume("vg/two")->createSnap(4096, "zrks_20", at2);
    FAIL() << "created a snapshot that cannot fit";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find("volume group vg has 0 MiB free"), std::string::npos) << e.getMessage();
  }
  EXPECT_EQ(lvmCalls().back().rfind("lvs ", 0), 0u) << "refused on a fresh report, before any lvcreate";
}

TEST_F(LvmEngineTest, ThinSnapshotHasNoSizeAndActivatesAfterReboot) {
  std::string at = mountRoot;
  volume("vgtest/thinlv")->createSnap(16, "zrks_9", at);
  EXPECT_EQ(lvmCalls().back(),
            "lvcreate --yes --snapshot --name zrks_9 --setactivationskip n --activate y vgtest/thinlv");
}

TEST_F(LvmEngineTest, FailedMountRemovesTheNewSnapshotAgain) {
  mounts->mountError = "mount: wrong fs type";
  std::string at = mountRoot;
  EXPECT_THROW(volume("vgtest/lvext4")->createSnap(16, "zrks_9", at), ZrException);
  EXPECT_EQ(lvmCalls().back(), "lvremove --yes vgtest/zrks_9");
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  try {
    volume("vgtest/lvext4")->createSnap(16, "zrks_10", at);
    FAIL();
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage())
                  .find("lvcreate --yes --snapshot --name zrks_10 --size 16m vgtest/lvext4 "
                        "exited with status 5: Volume group \"vgtest\" has insufficient"),
              std::string::npos)
        << e.getMessage();
    EXPECT_EQ(e.formatError(), e.getMessage()) << "an exit status is no errno";
  }
}

TEST_F(LvmEngineTest, DeletesOnlyItsOwnSnapshotsAndReportsOverflow) {
  auto ext4 = volume("vgtest/lvext4");
  auto admin = volume("vgtest/lvxfs")->snaps.front();
  try {
    admin->deleteSnap();
    FAIL() << "deleted an administrator's snapshot";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()),
              "Refusing to delete vgtest/adminsnap: it is not a snapshot that the snapshot manager created");
  }
  ext4->snaps.back()->deleteSnap();  // zrks_3, overflowed
  EXPECT_EQ(lvmCalls().back(), "lvremove --yes vgtest/zrks_3");
  EXPECT_EQ(log->matching("Snapshot vgtest/zrks_3 overflowed", ZR_LOG_ERROR).size(), 1u);
  ext4->snaps.front()->deleteSnap();
  EXPECT_EQ(log->matching("overflowed").size(), 1u) << "a valid snapshot is not reported";
  for (auto& c : lvmCalls()) EXPECT_EQ(c.find("adminsnap"), std::string::npos);
}

TEST_F(LvmEngineTest, UnmountsOnlyItsOwnSnapshotMounts) {
  std::string why;
  EXPECT_EQ(lvm->unMount("/nowhere", why), FlrSnapOS::UnmountResult::NotOurs);
  EXPECT_EQ(why, "/nowhere is not a mount point");
  mounts->entries.push_back(zr::MountRecord{"/dev/vda1", "/", "ext4", "/", "rw", makedev(8, 1)});
  mounts->entries.push_back(
      zr::MountRecord{"/dev/mapper/vgtest-adminsnap", "/mnt/adm", "xfs", "/", "ro", makedev(253, 9)});
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-zrks_1", "/mnt/ours", "xfs", "/", "ro", makedev(1, 3)});
  EXPECT_EQ(lvm->unMount("/", why), FlrSnapOS::UnmountResult::NotOurs);
  EXPECT_EQ(why, "/ holds /dev/vda1, which is not an LVM snapshot that the snapshot manager created");
  EXPECT_EQ(lvm->unMount("/mnt/adm", why), FlrSnapOS::UnmountResult::NotOurs);
  EXPECT_TRUE(mounts->calls.empty());
  mounts->umountError = "umount: target is busy";
  EXPECT_EQ(lvm->unMount("/mnt/ours", why), FlrSnapOS::UnmountResult::Failed);
  EXPECT_EQ(why, "umount: target is busy (Device or resource busy)");
  mounts->umountError.clear();
  EXPECT_EQ(lvm->unMount("/mnt/ours", why), FlrSnapOS::UnmountResult::Unmounted);
  EXPECT_EQ(mounts->calls.back(), "umount /mnt/ours");
}

TEST_F(LvmEngineTest, RecordedDirectoryIsMatchedAsTheKernelSpellsIt) {
  std::filesystem::create_directories(dir + "/real/zrks_1");
  std::filesystem::create_directory_symlink(dir + "/real", dir + "/link");
  mounts->entries.push_back(
      zr::MountRecord{"/dev/mapper/vgtest-zrks_1", dir + "/real/zrks_1", "xfs", "/", "ro", makedev(1, 3)});
  std::string why;
  EXPECT_EQ(lvm->unMount(dir + "/link//zrks_1", why), FlrSnapOS::UnmountResult::Unmounted) << why;
}

TEST_F(LvmEngineTest, IsMountedLooksForTheSnapshotsDeviceAnywhere) {
  auto snap = volume("vgtest/lvext4")->snaps.front();  // zrks_1, device /dev/null in the fixture
  EXPECT_FALSE(snap->isMounted());
  mounts->entries.push_back(zr::MountRecord{"/dev/null", "/somewhere", "xfs", "/", "ro", makedev(1, 3)});
  EXPECT_TRUE(snap->isMounted());
}

// How many lvm processes a job of 1,000 content paths on two volumes starts.
TEST_F(LvmEngineTest, AJobOfAThousandPathsRunsLvmOncePerSnapshotPlusOneReport) {
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-two-lvs.json");
  std::list<std::string> contents;
  for (std::string name : {"one", "two"}) {
    std::string mp = dir + "/mp-" + name;
    for (int i = 0; i < 500; ++i) std::filesystem::create_directories(mp + "/d" + std::to_string(i));
    mounts->entries.push_back(zr::MountRecord{name == "one" ? "/dev/null" : "/dev/zero", mp, "ext4", "/", "rw", 0});
    for (int i = 0; i < 500; ++i) contents.push_back(mp + "/d" + std::to_string(i));
  }
  mounts->fstype = "ext4";
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, lvm);
  auto m = makeManager();
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(m->CreateAndMountSnap(contents).IsError()) << m->GetLastError();
  auto calls = lvmCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].rfind("lvs ", 0), 0u);
  EXPECT_EQ(calls[1].rfind("lvcreate ", 0), 0u);
  EXPECT_EQ(calls[2].rfind("lvcreate ", 0), 0u);
}
