// SPDX-License-Identifier: Apache-2.0
#include <sys/sysmacros.h>

#include <map>

#include "TestSupport.h"
#include "engines/lvm/BtrfsRule.h"
#include "engines/lvm/DmStatus.h"
#include "engines/lvm/LvmEngine.h"
#include "engines/lvm/LvmErrors.h"
#include "engines/lvm/LvmMessages.h"
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

namespace {
// What parsing a report says: its error message, or "parsed".
std::string ParseMessage(const std::string& json) {
  try {
    LvmReport::Parse(json);
  } catch (const ZrException& e) {
    return e.getMessage();
  }
  return "parsed";
}
}  // namespace

TEST(LvmReport, BrokenReportsAreClearErrors) {
  EXPECT_NE(ParseMessage(test::ReadFile(FIXTURES "/lvs-truncated.json")).find("no readable JSON"), std::string::npos);
  EXPECT_NE(ParseMessage("{}").find("without a \"report\" list"), std::string::npos);
  EXPECT_NE(ParseMessage(R"({"report":[{"lv":[{"lv_name":"a"}]}]})").find("has no field vg_name"), std::string::npos);
  std::string badSize = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
  badSize.replace(badSize.find("1073741824"), 10, "1.0g");
  EXPECT_NE(ParseMessage(badSize).find("lv_size is not a number of bytes: \"1.0g\""), std::string::npos);
  std::string huge = test::ReadFile(FIXTURES "/lvs-two-lvs.json");
  huge.replace(huge.find("1073741824"), 10, "99999999999999999999999");
  EXPECT_NE(ParseMessage(huge).find("lv_size is not a number of bytes: \"99999999999999999999999\""),
            std::string::npos);
  EXPECT_EQ(LvmReport::DmName("vg-a", "lv-b"), "vg--a-lv--b");
}

// Neither a deep nor a long report makes a long walk or a long message.
TEST(LvmReport, DeepOrLongReportsGiveShortErrors) {
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
    std::string got = ParseMessage(c.json);
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
    config.lvm = FIXTURES "/fake-lvm.sh";
    config.sysBlock = sysBlock;
    config.backupDir = dir + "/no-backups";
    config.sysFsBtrfs = dir + "/sys-fs-btrfs";
    config.proc = dir + "/proc";
    config.busyPauseMs = 0;
    config.root = true;
    config.dmStatus = [this](const std::string& name, FlrSnapOS::DmState::Target& target, int& err) {
      auto it = dmTargets.find(name);
      if (it == dmTargets.end()) {
        err = ENXIO;
        return false;
      }
      target = it->second;
      return true;
    };
    mounts = std::make_shared<FakeMounts>();
    remake();
  }
  void remake() { lvm = std::make_shared<LvmEngine>(config, mounts); }
  SP<FlrSnapOS::LV> volume(const std::string& id) {
    for (auto& lv : lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE)) {
      if (lv->id == id) return lv;
    }
    return SP<FlrSnapOS::LV>();
  }
  SP<FlrSnapOS::Snap> snapshot(const std::string& origin, const std::string& name) {
    SP<FlrSnapOS::LV> lv = volume(origin);
    for (auto& s : lv->snaps) {
      if (s->name == name) return s;
    }
    return SP<FlrSnapOS::Snap>();
  }
  std::vector<std::string> lvmCalls() { return test::ReadLines(lvmLog); }
  // A setting of fake-lvm.sh, which reads them from $LVM_SYSTEM_DIR/fake-lvm.env.
  void fakeLvm(const std::string& name, const std::string& value) {
    fakeSettings[name] = value;
    std::string text;
    for (auto& kv : fakeSettings) {
      std::string quoted;
      for (char c : kv.second) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      text += kv.first + "='" + quoted + "'\n";
    }
    test::WriteFile(dir + "/fake-lvm.env", text);
  }
  // A dm device in the fake /sys/block.
  void addDmDevice(const std::string& kernelName, const std::string& name, const std::string& dev,
                   bool suspended = false) {
    std::filesystem::create_directories(sysBlock + "/" + kernelName + "/dm");
    test::WriteFile(sysBlock + "/" + kernelName + "/dev", dev + "\n");
    test::WriteFile(sysBlock + "/" + kernelName + "/dm/name", name + "\n");
    test::WriteFile(sysBlock + "/" + kernelName + "/dm/suspended", suspended ? "1\n" : "0\n");
  }
  // The fixture report with texts replaced, as FAKE_LVM_REPORT.
  void useReport(std::initializer_list<std::pair<std::string, std::string>> changes) {
    std::string text = test::ReadFile(FIXTURES "/lvs-thick-thin.json");
    for (auto& c : changes) {
      for (size_t at = text.find(c.first); at != std::string::npos; at = text.find(c.first, at + c.second.size())) {
        text.replace(at, c.first.size(), c.second);
      }
    }
    test::WriteFile(dir + "/report.json", text);
    fakeLvm("FAKE_LVM_REPORT", (dir + "/report.json"));
  }
  std::string createError(const std::string& origin, const std::string& name) {
    std::string at = mountRoot;
    try {
      volume(origin)->createSnap(16, name, at);
    } catch (const ZrException& e) {
      return e.formatError();
    }
    return "created";
  }

  std::map<std::string, std::string> fakeSettings;
  std::string lvmLog, sysBlock;
  LvmEngine::Config config;
  std::map<std::string, FlrSnapOS::DmState::Target> dmTargets;
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
  EXPECT_EQ(lvmCalls()[0],
            std::string("lvs --reportformat json --binary --units b --nosuffix -o ") + LvmReport::kFields);
}

TEST(LvmReport, DmNamesSplitBackIntoVolumeGroupAndVolume) {
  struct Case {
    std::string dmName, vg, lv;  // vg empty: not an LV's name
  };
  for (const Case& c : {Case{"vgtest-zrks_1", "vgtest", "zrks_1"}, Case{"my--vg-zr--ks-", "", ""},
                        Case{"my--vg-zr--ks", "my-vg", "zr-ks"}, Case{"vgtest-zrks_1-cow", "", ""},
                        Case{"vgtest", "", ""}, Case{"-zrks_1", "", ""}, Case{"vgtest-", "", ""}}) {
    std::string vg, lv;
    EXPECT_EQ(LvmReport::SplitDmName(c.dmName, vg, lv), !c.vg.empty()) << c.dmName;
    if (c.vg.empty()) continue;
    EXPECT_EQ(vg, c.vg);
    EXPECT_EQ(lv, c.lv);
    EXPECT_EQ(LvmReport::DmName(vg, lv), c.dmName);
  }
}

// A recorded snapshot is found by its VG and LV names, whatever /dev shows,
// and is gone only when a report read now has its volume group without it.
TEST_F(LvmEngineTest, RecordedSnapshotsArePresentGoneOrUnknown) {
  using FlrSnapOS::Presence;
  const std::vector<test::PresenceCase> cases{
      {"/dev/mapper/vgtest-zrks_2", Presence::Present, ""},  // no node on this machine: found by name
      {"/dev/mapper/vgtest-zrks_99", Presence::Absent, "volume group vgtest has no logical volume zrks_99"},
      {"/dev/mapper/vgother-zrks_5", Presence::Unknown, "volume group vgother is not in lvs's report"},
      {"/dev/mapper/vg--test-zrks_2", Presence::Unknown, "volume group vg-test is not in lvs's report"},
      {"simvg@zrks_1", Presence::Unknown, "simvg@zrks_1 is not the device path of an LVM logical volume"},
  };
  auto found = test::ExpectAnswers(*lvm, FlrSnapOS::FLR_SNAP_ENG_NATIVE, cases);
  ASSERT_EQ(found.size(), cases.size());
  EXPECT_EQ(found[0].snap->id, "vgtest/zrks_2");
  EXPECT_EQ(found[0].snap->rdev.devNumber, makedev(253, 7)) << "the kernel's numbers, not the missing node's";
  auto lvsRuns = [this] {
    size_t n = 0;
    for (auto& call : lvmCalls()) n += call.rfind("lvs", 0) == 0;
    return n;
  };
  EXPECT_EQ(lvsRuns(), 2u) << "gone is said on a report read for it";

  found = lvm->findRecorded(FlrSnapOS::FLR_SNAP_ENG_NATIVE, {cases[0].special, cases[2].special});
  EXPECT_EQ(lvsRuns(), 2u) << "present and unknown need no fresh report";
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
  fakeLvm("FAKE_LVM_REPORT", (dir + "/full.json"));  // and this time lvs agrees
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

TEST_F(LvmEngineTest, ThinSnapshotHasNoSizeSkipsActivationAtBootAndIsActivatedForTheJob) {
  std::string at = mountRoot;
  volume("vgtest/thinlv")->createSnap(16, "zrks_9", at);
  EXPECT_EQ(lvmCalls().back(),
            "lvcreate --yes --snapshot --name zrks_9 --setactivationskip y --ignoreactivationskip --activate y "
            "vgtest/thinlv");
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
  EXPECT_EQ(log->matching("Removing vgtest/zrks_3: snapshot vgtest/zrks_3 is invalid", ZR_LOG_ERROR).size(), 1u);
  ext4->snaps.front()->deleteSnap();
  EXPECT_EQ(log->matching("Removing").size(), 1u) << "a valid snapshot is not reported";
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
  EXPECT_EQ(why,
            "umount: target is busy (Device or resource busy); tried 5 times; held by no process that this one "
            "can see holds it; 1 process(es) could not be examined (cannot read " +
                dir + "/proc: No such file or directory)");
  EXPECT_EQ(mounts->calls.size(), 5u) << "tried again, never lazily";
  mounts->umountError.clear();
  EXPECT_EQ(lvm->unMount("/mnt/ours", why), FlrSnapOS::UnmountResult::Unmounted);
  EXPECT_EQ(mounts->calls.back(), "umount /mnt/ours");
}

// A process in /proc as the kernel shows it: links for cwd, root and open files, and its mappings.
void FakeProcess(const std::string& proc, int pid, const std::string& cmdline,
                 const std::vector<std::pair<std::string, std::string>>& links, const std::string& maps) {
  const std::string at = proc + "/" + std::to_string(pid);
  std::filesystem::create_directories(at + "/fd");
  test::WriteFile(at + "/cmdline", cmdline);
  test::WriteFile(at + "/maps", maps);
  for (auto& l : links) std::filesystem::create_symlink(l.second, at + "/" + l.first);
}

// The kernel's EBUSY names no holder: the engine does, and what is mounted inside.
TEST_F(LvmEngineTest, ABusyUnmountNamesWhatHoldsIt) {
  FakeProcess(config.proc, 4242,
              std::string("sleep\0"
                          "300\0",
                          10),
              {{"cwd", "/mnt/ours/sub"}, {"fd/5", "/mnt/ours/f"}},
              "7f00-7f01 r-xp 00000000 fd:03 12 /mnt/ours/lib.so\n7f01-7f02 r--p 00001000 fd:03 12 /mnt/ours/lib.so\n"
              "7f03-7f04 rw-p 00000000 00:00 0 [heap]\n");
  FakeProcess(config.proc, 4243, "bash", {{"cwd", "/mnt/oursalike"}, {"root", "/"}}, "");
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-zrks_1", "/mnt/ours", "xfs", "/", "ro", makedev(1, 3)});
  mounts->entries.push_back(zr::MountRecord{"/dev/vdb", "/mnt/ours/inner", "ext4", "/", "rw", makedev(254, 16)});
  mounts->umountError = "umount: target is busy";
  std::string why;
  EXPECT_EQ(lvm->unMount("/mnt/ours", why), FlrSnapOS::UnmountResult::Failed);
  EXPECT_EQ(why,
            "umount: target is busy (Device or resource busy); tried 5 times; held by pid 4242 (sleep 300): cwd, open "
            "file /mnt/ours/f, mapping /mnt/ours/lib.so; /dev/vdb is mounted inside it, on /mnt/ours/inner");
}

// lvremove says only "in use": the engine says by what.
TEST_F(LvmEngineTest, ASnapshotInUseNamesItsHolders) {
  addDmDevice("dm-3", "vgtest-zrks_1", "1:3");
  addDmDevice("dm-9", "vgtest-other", "253:9");
  std::filesystem::create_directories(sysBlock + "/dm-3/holders/dm-9");
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-zrks_1", "/mnt/ours", "xfs", "/", "ro", makedev(1, 3)});
  fakeLvm("FAKE_LVM_FAIL", "lvremove");
  fakeLvm("FAKE_LVM_ERR", "  Logical volume vgtest/zrks_1 contains a filesystem in use.");
  try {
    volume("vgtest/lvext4")->snaps.front()->deleteSnap();
    FAIL() << "a snapshot in use was removed";
  } catch (const ZrException& e) {
    EXPECT_NE(
        std::string(e.getMessage())
            .find("exited with status 5: Logical volume vgtest/zrks_1 contains a filesystem in use.; held by "
                  "device-mapper holders: dm-9 (vgtest-other); 1 process(es) could not be examined (cannot read " +
                  dir + "/proc: No such file or directory); mounted on /mnt/ours"),
        std::string::npos)
        << e.getMessage();
  }
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

// ---------------------------------------------------------------- report values

TEST(LvmReport, SnapshotValidityIsReadFromTheBinaryFormAndTheAttributes) {
  struct Case {
    const char* value;
    const char* attr;
    bool invalid;
  } cases[] = {
      {"0", "swi-a-s---", false},  // report/binary_values_as_numeric = 1 would print this without --binary too
      {"1", "swi-a-s---", true},  {"-1", "-wi-ao----", false},
      {"", "swi-a-s---", false},  {"snapshot invalid", "swi-a-s---", true},
      {"0", "swi-I-s---", true},  {"0", "swi-S-s---", true},
  };
  for (auto& c : cases) {
    std::string json = std::string(R"({"report":[{"lv":[{"lv_name":"s","vg_name":"vg","lv_dm_path":"/dev/null",)") +
                       R"("lv_attr":")" + c.attr + R"(","origin":"o","pool_lv":"","lv_uuid":"u","lv_size":"1",)" +
                       R"("vg_free":"0","vg_extent_size":"1","lv_kernel_major":"1","lv_kernel_minor":"3",)" +
                       R"("lv_snapshot_invalid":")" + c.value + R"("}]}]})";
    EXPECT_EQ(LvmReport::Parse(json).at(0).snapshotInvalid, c.invalid) << c.value << " " << c.attr;
  }
}

TEST(LvmReport, ThinClonesAreVolumesButTheManagersThinSnapshotsAreNot) {
  struct Case {
    const char* name;
    const char* attr;
    const char* origin;
    bool volume;
  } cases[] = {
      {"clone", "Vwi-aotz--", "thinlv", true},     {"zrks_5", "Vwi-a-tz-k", "thinlv", false},
      {"zrgpfs_5", "Vwi-a-tz-k", "thinlv", false}, {"admin", "swi-a-s---", "lvext4", false},
      {"thinlv", "Vwi-aotz--", "", true},          {"pool", "twi-aotz--", "", false},
  };
  for (auto& c : cases) {
    LvRow r;
    r.name = c.name;
    r.attr = c.attr;
    r.origin = c.origin;
    EXPECT_EQ(r.canBeSnapshotted(), c.volume) << c.name;
  }
}

TEST(LvmReport, LinesLvmPrintsIntoTheReportAreSetApart) {
  std::vector<std::string> other;
  std::string json = LvmReport::ReportLines(test::ReadFile(FIXTURES "/lvs-retrying-scan.json"), other);
  EXPECT_EQ(other, (std::vector<std::string>{"Retrying metadata scan."}));
  EXPECT_EQ(LvmReport::Parse(json).size(), 10u);
  EXPECT_THROW(LvmReport::Parse(test::ReadFile(FIXTURES "/lvs-retrying-scan.json")), ZrException);
}

// ---------------------------------------------------------------- kernel status

TEST(DmStatus, SaysWhatATargetLost) {
  using namespace FlrSnapOS::DmStatus;
  struct Case {
    std::string (*judge)(const std::string&);
    const char* status;
    const char* damage;
  } cases[] = {
      {SnapshotDamage, "16/65536 16", ""},
      {SnapshotDamage, "Overflow", "overflowed"},
      {SnapshotDamage, "Invalid", "is invalid (its copy-on-write space overflowed or failed)"},
      {SnapshotDamage, "Merge failed", "failed to merge"},
      {ThinPoolDamage, "1 10/4096 30/2048 - rw discard_passdown queue_if_no_space - 1024", ""},
      {ThinPoolDamage, "1 10/4096 2048/2048 - out_of_data_space discard_passdown queue_if_no_space - 1024", ""},
      {ThinPoolTrouble, "1 10/4096 2048/2048 - out_of_data_space discard_passdown queue_if_no_space - 1024",
       "ran out of data space"},
      {ThinPoolTrouble, "1 10/4096 30/2048 - ro discard_passdown queue_if_no_space - 1024",
       "went read-only after a metadata failure"},
      {ThinPoolTrouble, "1 10/4096 30/2048 - rw discard_passdown queue_if_no_space needs_check 1024",
       "needs a metadata check"},
      {ThinPoolTrouble, "1 10/4096 30/2048 - rw discard_passdown queue_if_no_space - 1024", ""},
      {ThinPoolTrouble, "Fail", ""},
      {ThinPoolDamage, "Fail", "failed"},
      {ThinPoolDamage, "Error", "cannot read its metadata"},
      {ThinDamage, "2048 4095", ""},
      {ThinDamage, "Fail", "failed"},
  };
  for (auto& c : cases) EXPECT_EQ(c.judge(c.status), c.damage) << c.status;
}

TEST(BtrfsRule, ASnapshotIsMountedBesideItsOriginOnlyWithTempFsidOnOneDevice) {
  std::string root = test::MakeTempDir();
  auto device = [&](const std::string& fsid, const std::string& name) {
    std::filesystem::create_directories(root + "/" + fsid + "/devices");
    test::WriteFile(root + "/" + fsid + "/devices/" + name, "");
  };
  device("1111", "dm-3");
  device("2222", "dm-4");
  device("2222", "dm-5");
  EXPECT_EQ(FlrSnapOS::BtrfsSnapshotRefusal(root, "dm-3"),
            "this kernel has no btrfs temp_fsid, so mounting the copy beside its origin can corrupt data");
  std::filesystem::create_directories(root + "/features");
  test::WriteFile(root + "/features/temp_fsid", "0\n");
  EXPECT_EQ(FlrSnapOS::BtrfsSnapshotRefusal(root, "dm-3"), "");
  EXPECT_EQ(FlrSnapOS::BtrfsSnapshotRefusal(root, "dm-5"),
            "it spans 2 devices, and the kernel mounts a copy beside its origin only for a single-device btrfs");
  EXPECT_EQ(FlrSnapOS::BtrfsSnapshotRefusal(root, "dm-9"), "the kernel lists no mounted btrfs on dm-9");
  std::filesystem::remove_all(root);
}

TEST_F(LvmEngineTest, BtrfsIsRefusedBeforeAnythingIsCreated) {
  addDmDevice("dm-0", "vgtest-lvext4", "253:0");
  // btrfs shows an anonymous device number in the mount table.
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-lvext4", "/data", "btrfs", "/", "rw", makedev(0, 45)});
  EXPECT_EQ(createError("vgtest/lvext4", "zrks_9"),
            "Cannot snapshot vgtest/lvext4: it holds btrfs, and a snapshot carries the same file-system UUID; this "
            "kernel has no btrfs temp_fsid, so mounting the copy beside its origin can corrupt data (Operation not "
            "supported)");
  std::filesystem::create_directories(config.sysFsBtrfs + "/features");
  test::WriteFile(config.sysFsBtrfs + "/features/temp_fsid", "0\n");
  std::filesystem::create_directories(config.sysFsBtrfs + "/1111/devices");
  test::WriteFile(config.sysFsBtrfs + "/1111/devices/dm-0", "");
  mounts->fstype = "btrfs";
  EXPECT_EQ(createError("vgtest/lvext4", "zrks_9"), "created") << "temp_fsid, one device";
  EXPECT_EQ(lvmCalls().size(), 2u) << "one report, one lvcreate (the first try ran none)";
}

// ---------------------------------------------------------------- damage

TEST_F(LvmEngineTest, DamageNamesTheOverflowedSnapshotOrTheFailedPool) {
  auto zrks1 = snapshot("vgtest/lvext4", "zrks_1");
  auto zrks2 = snapshot("vgtest/thinlv", "zrks_2");
  dmTargets["vgtest-zrks_1"] = {"snapshot", "16/65536 16"};
  dmTargets["vgtest-zrks_2"] = {"thin", "2048 4095"};
  dmTargets["vgtest-pool-tpool"] = {"thin-pool", "1 10/4096 30/2048 - rw discard_passdown queue_if_no_space - 1024"};
  EXPECT_EQ(lvm->damage(*zrks1), "");
  EXPECT_EQ(lvm->damage(*zrks2), "");
  dmTargets["vgtest-zrks_1"].status = "Overflow";
  EXPECT_EQ(lvm->damage(*zrks1), "snapshot vgtest/zrks_1 overflowed");
  dmTargets["vgtest-pool-tpool"].status =
      "1 10/4096 2048/2048 - out_of_data_space discard_passdown queue_if_no_space - 1";
  EXPECT_EQ(lvm->damage(*zrks2), "") << "a full pool still holds the snapshot's data";
  EXPECT_EQ(log->matching("Thin pool vgtest/pool ran out of data space: writes to its thin volumes, the origin of "
                          "vgtest/zrks_2 included, fail or wait",
                          ZR_LOG_ERROR)
                .size(),
            1u);
  dmTargets.erase("vgtest-pool-tpool");  // a pool without its -tpool layer is its own device
  dmTargets["vgtest-pool"] = {"thin-pool", "1 10/4096 30/2048 - rw discard_passdown queue_if_no_space needs_check 1"};
  EXPECT_EQ(lvm->damage(*zrks2), "");
  EXPECT_EQ(log->matching("Thin pool vgtest/pool needs a metadata check").size(), 1u);
  dmTargets["vgtest-pool"].status = "Error";
  EXPECT_EQ(lvm->damage(*zrks2), "thin pool vgtest/pool cannot read its metadata");
  dmTargets["vgtest-zrks_2"].status = "Fail";
  EXPECT_EQ(lvm->damage(*zrks2), "thin snapshot vgtest/zrks_2 failed");
  EXPECT_TRUE(log->matching("Cannot read the device-mapper status").empty()) << "a missing layer is no failure";
}

TEST_F(LvmEngineTest, OverflowedSnapshotIsRemovedWithForceWhenPlainRemovalFails) {
  dmTargets["vgtest-zrks_1"] = {"snapshot", "Overflow"};
  fakeLvm("FAKE_LVM_FAIL", "lvremove");
  EXPECT_THROW(snapshot("vgtest/lvext4", "zrks_1")->deleteSnap(), ZrException);
  auto calls = lvmCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "lvremove --yes vgtest/zrks_1");
  EXPECT_EQ(calls.back(), "lvremove --yes --force vgtest/zrks_1");
  EXPECT_EQ(log->matching("Removing vgtest/zrks_1: snapshot vgtest/zrks_1 overflowed, so a backup read from it is "
                          "incomplete",
                          ZR_LOG_ERROR)
                .size(),
            1u);
}

// ---------------------------------------------------------------- identity

TEST_F(LvmEngineTest, DeviceNumbersComeFromTheKernelNotFromDevMapper) {
  auto zrks2 = snapshot("vgtest/thinlv", "zrks_2");  // no /dev/mapper/vgtest-zrks_2 on this machine
  EXPECT_EQ(zrks2->rdev.devNumber, makedev(253, 7));
  EXPECT_EQ(volume("vgtest/lvxfs")->rdev.devNumber, makedev(253, 1));
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-zrks_2", dir, "ext4", "/", "ro", makedev(253, 7)});
  EXPECT_TRUE(zrks2->isMountedAt(dir));
  mounts->entries.push_back(zr::MountRecord{"tmpfs", dir, "tmpfs", "/", "rw", makedev(0, 50)});
  EXPECT_FALSE(zrks2->isMountedAt(dir)) << "covered by a later mount";
  addDmDevice("dm-9", "vgtest-zrks_9", "253:9");
  std::string at = mountRoot;
  auto made = volume("vgtest/lvext4")->createSnap(16, "zrks_9", at);
  EXPECT_EQ(made->rdev.devNumber, makedev(253, 9));
  EXPECT_EQ(made->rdev.getSpecial(), "/dev/mapper/vgtest-zrks_9");
}

// After a reboot a leaked thin snapshot is inactive: it has no device, and is
// known by the text the record holds.
TEST_F(LvmEngineTest, AnInactiveThinSnapshotKeepsTheSpecialItWasRecordedWith) {
  useReport(
      {{R"("lv_attr":"Vwi-a-tz--", "origin":"thinlv", "pool_lv":"pool", "lv_uuid":"hhhh", "lv_size":"104857600", "vg_free":"100663296", "vg_extent_size":"4194304", "lv_kernel_major":"253", "lv_kernel_minor":"7")",
        R"("lv_attr":"Vwi---tz-k", "origin":"thinlv", "pool_lv":"pool", "lv_uuid":"hhhh", "lv_size":"104857600", "vg_free":"100663296", "vg_extent_size":"4194304", "lv_kernel_major":"-1", "lv_kernel_minor":"-1")"}});
  auto thin = volume("vgtest/thinlv");
  auto zrks2 = snapshot("vgtest/thinlv", "zrks_2");
  EXPECT_EQ(zrks2->rdev.getSpecial(), lvm->snapshotSpecial(*thin, "zrks_2"));
  EXPECT_EQ(zrks2->rdev.devNumber, 0u);
  EXPECT_FALSE(zrks2->isMounted());
  zrks2->deleteSnap();
  EXPECT_EQ(lvmCalls().back(), "lvremove --yes vgtest/zrks_2");
}

TEST_F(LvmEngineTest, SnapshotSpecialDoublesDashesAsDeviceMapperDoes) {
  useReport({{"vgtest", "vg-a"}, {"/dev/mapper/vg-a-lvext4", "/dev/mapper/vg--a-lvext4"}});
  auto lv = volume("vg-a/lvext4");
  ASSERT_TRUE(lv);
  EXPECT_EQ(lvm->snapshotSpecial(*lv, "zrks_1-x"), "/dev/mapper/vg--a-zrks_1--x");
}

// ---------------------------------------------------------------- failed commands

TEST_F(LvmEngineTest, ASnapshotThatAFailedLvcreateMadeIsRemovedAgain) {
  useReport({{"zrks_1", "zrks_9"}});  // what lvs says after the failed lvcreate: zrks_9 exists
  fakeLvm("FAKE_LVM_CREATED_REPORT", (dir + "/report.json"));
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-thick-thin.json");
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  std::string error = createError("vgtest/lvext4", "zrks_9");
  EXPECT_NE(error.find("exited with status 5: Volume group \"vgtest\" has insufficient free space (0 extents): 4 "
                       "required.; the snapshot vgtest/zrks_9 it made was removed again"),
            std::string::npos)
      << error;
  auto calls = lvmCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[2].rfind("lvs ", 0), 0u);
  EXPECT_EQ(calls[3], "lvremove --yes vgtest/zrks_9");
}

TEST(LvmErrors, TheReasonIsLvmsErrorLinesNotItsWarnings) {
  const std::string warning =
      "  WARNING: Sum of all thin volume sizes (2.00 GiB) exceeds the size of thin pool vgtest/pool (1.00 GiB).\n";
  const std::string suspend =
      "  device-mapper: suspend ioctl on  (253:2) failed: Device or resource busy\n"
      "  Failed to suspend thin snapshot origin vgtest/thinlv.\n";
  std::string many;
  for (int i = 1; i <= 10; ++i) many += "  error " + std::to_string(i) + "\n";
  struct Case {
    std::string err, reason;
  };
  for (const Case& c : {
           Case{warning + suspend,
                "device-mapper: suspend ioctl on  (253:2) failed: Device or resource busy | Failed to suspend thin "
                "snapshot origin vgtest/thinlv."},
           Case{warning, warning.substr(2, warning.size() - 3)},
           Case{"", ""},
           Case{many, "error 1 | error 2 | error 3 | error 4 | error 5 | error 6 | error 7 | error 8 | (2 more lines)"},
       }) {
    EXPECT_EQ(FlrSnapOS::LvmErrors::Reason(c.err), c.reason) << c.err;
  }
}

TEST(LvmErrors, InUseIsEachOfLvmsWordsForAnOpenVolume) {
  struct Case {
    const char* err;
    bool inUse;
  };
  for (const Case& c :
       {Case{"  Logical volume vgtest/zrks_1 contains a filesystem in use.\n", true},
        Case{"  Logical volume vgtest/zrks_1 in use.\n", true},
        Case{"  WARNING: x\n  Logical volume vgtest/zrks_1 is used by another device.\n", true},
        Case{"  Volume group \"vgtest\" not found\n", false}, Case{"  LV vgtest/cache is already in use.\n", false}}) {
    EXPECT_EQ(FlrSnapOS::LvmErrors::SaysInUse(c.err), c.inUse) << c.err;
  }
}

// A thin pool over its size makes lvm warn first: the failure is the lines after.
TEST_F(LvmEngineTest, AFailedChangeQuotesLvmsErrorsPastItsWarnings) {
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  fakeLvm("FAKE_LVM_ERR",
          "  WARNING: Sum of all thin volume sizes (2.00 GiB) exceeds the size of thin pool vgtest/pool (1.00 GiB).\n"
          "  device-mapper: suspend ioctl on  (253:5) failed: Device or resource busy\n"
          "  Failed to suspend thin snapshot origin vgtest/thinlv.");
  std::string error = createError("vgtest/thinlv", "zrks_9");
  EXPECT_NE(error.find("lvcreate --yes --snapshot --name zrks_9 --setactivationskip y --ignoreactivationskip "
                       "--activate y vgtest/thinlv exited with status 5: device-mapper: suspend ioctl on  (253:5) "
                       "failed: Device or resource busy | Failed to suspend thin snapshot origin vgtest/thinlv."),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find("WARNING"), std::string::npos) << error;
}

TEST_F(LvmEngineTest, AnOriginLeftSuspendedIsReportedLoudly) {
  addDmDevice("dm-0", "vgtest-lvext4", "253:0", true);
  addDmDevice("dm-1", "vgtest-lvxfs", "253:1", false);
  addDmDevice("dm-2", "vgtest--x-lv", "253:2", true);  // volume group "vgtest-x"
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  std::string error = createError("vgtest/lvext4", "zrks_9");
  EXPECT_NE(error.find("; device-mapper device vgtest-lvext4 is left suspended, so writes to it hang until it is "
                       "resumed"),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find("vgtest--x-lv"), std::string::npos) << error;
  EXPECT_EQ(log->matching("Device-mapper device vgtest-lvext4 is left suspended", ZR_LOG_ERROR).size(), 1u);
}

// ---------------------------------------------------------------- lvs

TEST_F(LvmEngineTest, AReportOfTheReadableVolumeGroupsIsUsedWhateverTheExitCode) {
  fakeLvm("FAKE_LVM_FAIL", "lvs");
  fakeLvm("FAKE_LVM_ERR", "  WARNING: Couldn't find device with uuid abc.\n  Volume group \"vgbad\" is missing a PV");
  EXPECT_EQ(lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE).size(), 3u);
  EXPECT_EQ(
      log->matching("lvs reported: WARNING: Couldn't find device with uuid abc. | Volume group \"vgbad\"", ZR_LOG_ERROR)
          .size(),
      1u);
  EXPECT_EQ(log->matching("exited with status 5: Volume group \"vgbad\" is missing a PV; using its report of "
                          "the volume groups it could read",
                          ZR_LOG_ERROR)
                .size(),
            1u);
  EXPECT_EQ(lvmCalls().size(), 1u);

  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-empty-vg.json");  // a failed lvs that lists nothing
  remake();
  try {
    lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
    FAIL() << "a failed lvs without a report was taken as no volumes";
  } catch (const ZrException& e) {
    EXPECT_NE(e.formatError().find("exited with status 5: Volume group \"vgbad\" is missing a PV"), std::string::npos)
        << e.formatError();
    EXPECT_EQ(e.formatError(), e.getMessage());
  }
}

TEST_F(LvmEngineTest, LinesInTheReportAreLoggedAndAnUnreadableReportIsAskedForOnce) {
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-retrying-scan.json");
  EXPECT_EQ(lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE).size(), 3u);
  EXPECT_EQ(log->matching("lvs printed into its report: Retrying metadata scan.", ZR_LOG_ERROR).size(), 1u);
  EXPECT_EQ(lvmCalls().size(), 1u);

  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-thick-thin.json");
  fakeLvm("FAKE_LVM_FIRST_REPORT", FIXTURES "/lvs-truncated.json");
  remake();
  EXPECT_EQ(lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE).size(), 3u);
  EXPECT_EQ(log->matching("running lvs once more", ZR_LOG_ERROR).size(), 1u);
  EXPECT_EQ(lvmCalls().size(), 3u);

  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-truncated.json");
  remake();
  try {
    lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
    FAIL() << "parsed a truncated report";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find("lvs printed no readable JSON report"), std::string::npos);
  }
  EXPECT_EQ(lvmCalls().size(), 5u) << "one retry, no more";
}

TEST_F(LvmEngineTest, LvmOlderThanTheJsonReportIsNamed) {
  fakeLvm("FAKE_LVM_REPORT", "/dev/null");
  fakeLvm("FAKE_LVM_FAIL", "lvs");
  fakeLvm("FAKE_LVM_ERR", "lvs: unrecognized option '--reportformat'");
  fakeLvm("FAKE_LVM_STATUS", "3");
  fakeLvm("FAKE_LVM_VERSION", "2.02.133(2) (2015-10-30)");
  try {
    lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
    FAIL();
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage())
                  .rfind("lvm 2.02.133(2) is too old: this engine reads the JSON report of "
                         "lvs, which lvm has since 2.02.158 (",
                         0),
              0u)
        << e.getMessage();
    EXPECT_NE(std::string(e.getMessage()).find("exited with status 3: lvs: unrecognized option"), std::string::npos);
  }
  EXPECT_EQ(lvmCalls().back(), "version");
}

TEST_F(LvmEngineTest, WithoutRootTheMessageSaysThatLvmNeedsRoot) {
  config.root = false;
  remake();
  fakeLvm("FAKE_LVM_REPORT", FIXTURES "/lvs-empty-vg.json");
  fakeLvm("FAKE_LVM_FAIL", "lvs");
  fakeLvm("FAKE_LVM_ERR", "  WARNING: Running as a non-root user. Functionality may be unavailable.");
  try {
    lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
    FAIL();
  } catch (const ZrException& e) {
    EXPECT_EQ(e.formatError(), "lvm needs root, and this process runs as user " + std::to_string(::geteuid()) + ": " +
                                   FIXTURES
                                   "/fake-lvm.sh lvs exited with status 5: WARNING: Running as a non-root "
                                   "user. Functionality may be unavailable.");
  }
  for (auto& c : lvmCalls()) EXPECT_NE(c, "version");
}

// lvm blocks signals while it holds the origin suspended: lvcreate and lvremove
// are waited for past the timeout, never killed; a report may be killed.
TEST_F(LvmEngineTest, ChangesOutliveTheTimeoutAndReportsDoNot) {
  config.timeoutSeconds = 1;
  remake();
  lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  fakeLvm("FAKE_LVM_SLEEP_IN", "lvcreate");
  std::string at = mountRoot;
  auto snap = volume("vgtest/lvext4")->createSnap(16, "zrks_9", at);
  EXPECT_EQ(log->matching("lvm lvcreate succeeded, but only after more than 1 s", ZR_LOG_ERROR).size(), 1u);
  fakeLvm("FAKE_LVM_SLEEP_IN", "lvremove");
  EXPECT_NO_THROW(snap->deleteSnap());
  EXPECT_EQ(log->matching("lvm lvremove succeeded, but only after more than 1 s", ZR_LOG_ERROR).size(), 1u);

  fakeLvm("FAKE_LVM_SLEEP_IN", "lvs");
  remake();
  try {
    lvm->listVolumes(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
    FAIL() << "a report outlived its timeout";
  } catch (const ZrException& e) {
    EXPECT_NE(std::string(e.getMessage()).find("did not finish in time"), std::string::npos) << e.getMessage();
  }
}

// ---------------------------------------------------------------- space

// Each thick snapshot's size comes from the first setting that names it.
TEST_F(LvmEngineTest, CopyOnWriteSizeFollowsTheVolumesOwnSetting) {
  std::map<std::string, std::string> perVolume;
  config.volumeCow = [&](const std::string& key) { return perVolume.count(key) ? perVolume[key] : std::string(); };
  struct Case {
    std::map<std::string, std::string> perVolume;
    unsigned percent;
    uint64_t mib;  // 0: refused
    std::string source;
  };
  // lvxfs: 300 MiB in a VG of 4 MiB extents; the manager's default is 16 MiB.
  for (const Case& c : {Case{{}, 0, 16, "nSnapCowSizeMB is 16"}, Case{{}, 50, 152, "nSnapCowPercent is 50"},
                        Case{{{"vgtest", "40"}}, 50, 40, "[SnapCow] vgtest is 40"},
                        Case{{{"vgtest", "40"}, {"vgtest/lvxfs", "10%"}}, 0, 32, "[SnapCow] vgtest/lvxfs is 10%"},
                        Case{{{"vgtest/lvxfs", "100000"}}, 0, 300, "[SnapCow] vgtest/lvxfs is 100000"},
                        Case{{{"vgtest/lvxfs", "ten"}}, 0, 0, ""}, Case{{{"vgtest/lvxfs", "0%"}}, 0, 0, ""},
                        Case{{{"vgtest/lvxfs", "101%"}}, 0, 0, ""}}) {
    perVolume = c.perVolume;
    config.cowPercent = c.percent;
    remake();
    LvRow origin;
    for (auto& r : Fixture("lvs-thick-thin.json")) {
      if (r.id() == "vgtest/lvxfs") origin = r;
    }
    if (c.mib == 0) {
      EXPECT_THROW(lvm->cowSize(origin, 16), ZrException) << perVolume.begin()->second;
      continue;
    }
    auto size = lvm->cowSize(origin, 16);
    EXPECT_EQ(size.bytes, c.mib << 20) << c.source;
    EXPECT_EQ(size.source, c.source);
  }
}

TEST_F(LvmEngineTest, JobThatWouldNotFitIsNamedWholeBeforeAnythingIsMade) {
  useReport(
      {{"\"lv_uuid\":\"cccc\"", "\"lv_uuid\":\"cccc\", \"data_percent\":\"85.00\", \"metadata_percent\":\"10.50\""}});
  std::list<SP<FlrSnapOS::LV>> job{volume("vgtest/lvext4"), volume("vgtest/lvxfs")};
  EXPECT_EQ(lvm->spaceShortfall(job, 32), "") << "32 + 32 MiB fit in 96 MiB";
  EXPECT_EQ(lvm->spaceShortfall(job, 64),
            "volume group vgtest has 96 MiB free, the job's snapshots need 128 MiB (vgtest/lvext4 64 MiB, vgtest/lvxfs "
            "64 MiB)");
  job.push_back(volume("vgtest/thinlv"));
  EXPECT_EQ(lvm->spaceShortfall(job, 32),
            "thin pool vgtest/pool uses 85.00% of its data and 10.50% of its metadata, at or above "
            "nThinPoolMaxPercent 80");
  config.thinPoolMaxPercent = 90;
  remake();
  EXPECT_EQ(lvm->spaceShortfall({volume("vgtest/thinlv")}, 32), "");
  size_t creates = 0;
  for (auto& c : lvmCalls()) creates += c.rfind("lvcreate", 0) == 0;
  EXPECT_EQ(creates, 0u);
}

// ---------------------------------------------------------------- what a failed lvcreate leaves

namespace {
// lvm 2.03.16's standard error, as the real-LVM guest shows it.
const char kNameTaken[] = "  Logical Volume \"zrks_1\" already exists in volume group \"vgtest\"";
const char kFrozenOrigin[] =
    "  device-mapper: suspend ioctl on  (253:0) failed: Device or resource busy\n"
    "  Unable to suspend vgtest-lvext4 (253:0)\n"
    "  Failed to suspend logical volume vgtest/lvext4.\n"
    "  Device vgtest-lvext4-real (253:7) is used by another device.\n"
    "  Failed to revert logical volume vgtest/lvext4.\n"
    "  Aborting. Manual intervention required.";
}  // namespace

TEST(LvmMessages, TellATakenNameAndARefusedSuspendApart) {
  struct Case {
    std::string err, vg, name;
    bool taken, busy;
  };
  const std::vector<Case> cases = {
      {kNameTaken, "vgtest", "zrks_1", true, false},
      {"  historical Logical Volume \"zrks_1\" already exists in volume group \"vgtest\"", "vgtest", "zrks_1", true,
       false},
      {kNameTaken, "vgtest", "zrks_10", false, false},  // another name
      {kNameTaken, "vgother", "zrks_1", false, false},  // another volume group
      {kFrozenOrigin, "vgtest", "zrks_1", false, true},
      {"  device-mapper: suspend ioctl on  (253:0) failed: Invalid argument", "vgtest", "zrks_1", false, false},
      {"  Check of pool vgtest/fast_cvol failed (status:1). Manual repair required!", "vgtest", "zrks_1", false, false},
  };
  for (auto& c : cases) {
    EXPECT_EQ(FlrSnapOS::LvmMessages::NameTaken(c.err, c.vg, c.name), c.taken) << c.err << " / " << c.name;
    EXPECT_EQ(FlrSnapOS::LvmMessages::SuspendBusy(c.err), c.busy) << c.err;
  }
}

namespace {
// What lvcreate made of the job's zrks_9 before it failed, with its own UUID.
const char kLeftPlainLv[] =
    R"({"lv_name":"zrks_9", "vg_name":"vgtest", "lv_dm_path":"/dev/mapper/vgtest-zrks_9", "lv_attr":"-wi-i-----", )"
    R"("origin":"", "pool_lv":"", "lv_uuid":"left", "lv_size":"16777216", "vg_free":"83886080", )"
    R"("vg_extent_size":"4194304", "lv_kernel_major":"253", "lv_kernel_minor":"20", "lv_snapshot_invalid":"-1"},)";
}  // namespace

TEST_F(LvmEngineTest, ATakenNameIsEexistAndTheLvOfThatNameIsLeftAlone) {
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  fakeLvm("FAKE_LVM_ERR", kNameTaken);
  std::string at = mountRoot;
  try {
    volume("vgtest/lvext4")->createSnap(16, "zrks_1", at);
    FAIL() << "created over a taken name";
  } catch (const ZrException& e) {
    EXPECT_EQ(e.getErrno(), EEXIST) << e.getMessage();
    EXPECT_NE(std::string(e.getMessage()).find("already exists in volume group"), std::string::npos);
  }
  for (auto& c : lvmCalls()) EXPECT_EQ(c.find("lvremove"), std::string::npos) << c;

  // Whatever lvm says, an LV that was there before the command is never removed.
  fakeLvm("FAKE_LVM_ERR", "  Internal error: something else.");
  std::string error;
  try {
    volume("vgtest/lvext4")->createSnap(16, "zrks_1", at);
  } catch (const ZrException& e) {
    EXPECT_EQ(e.getErrno(), EEXIST) << e.getMessage();
    error = e.getMessage();
  }
  EXPECT_EQ(error.find("removed"), std::string::npos) << error;
  for (auto& c : lvmCalls()) EXPECT_EQ(c.find("lvremove"), std::string::npos) << c;
}

TEST_F(LvmEngineTest, ThePlainLvAFrozenOriginLeavesIsRemovedAndTheFreezeNamed) {
  mounts->entries.push_back(zr::MountRecord{"/dev/mapper/vgtest-lvext4", "/srv/ext4", "ext4", "/", "rw", 0});
  std::string after = test::ReadFile(FIXTURES "/lvs-thick-thin.json");
  after.insert(after.find("{\"lv_name\":\"lvxfs\""), kLeftPlainLv);
  test::WriteFile(dir + "/after.json", after);
  fakeLvm("FAKE_LVM_CREATED_REPORT", dir + "/after.json");
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  fakeLvm("FAKE_LVM_ERR", kFrozenOrigin);
  std::string error = createError("vgtest/lvext4", "zrks_9");
  EXPECT_NE(error.find("exited with status 5: device-mapper: suspend ioctl on  (253:0) failed: Device or resource "
                       "busy | "),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("; the kernel refused to suspend vgtest/lvext4 (Device or resource busy), as it does while "
                       "its file system is frozen: thaw it (fsfreeze --unfreeze /srv/ext4) and run the job again"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("; the logical volume vgtest/zrks_9 it made was removed again"), std::string::npos) << error;
  EXPECT_EQ(lvmCalls().back(), "lvremove --yes vgtest/zrks_9");
}

TEST_F(LvmEngineTest, AVolumeGroupMissingFromTheReportAfterAFailureIsNotTakenAsClean) {
  fakeLvm("FAKE_LVM_CREATED_REPORT", FIXTURES "/lvs-empty-vg.json");
  fakeLvm("FAKE_LVM_FAIL", "lvcreate");
  std::string error = createError("vgtest/lvext4", "zrks_9");
  EXPECT_NE(error.find("; lvs does not list volume group vgtest now, so vgtest/zrks_9 may be left"), std::string::npos)
      << error;
  for (auto& c : lvmCalls()) EXPECT_EQ(c.find("lvremove"), std::string::npos) << c;
}

TEST_F(LvmEngineTest, AnLvCachedThroughACacheVolumeIsRefusedWhereLvmCannotSnapshotIt) {
  useReport({{R"("lv_attr":"-wi-ao----", "origin":"", "pool_lv":"")",
              R"("lv_attr":"Cwi-aoC---", "origin":"", "pool_lv":"[fast_cvol]")"}});
  struct Case {
    std::string layout, version;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"cache,cachevol", "2.03.16(2) (2022-05-18)", true},
      {"cache,cachevol", "2.03.21(2) (2023-04-21)", false},       // lvm fixed it
      {"writecache,cachevol", "2.03.16(2) (2022-05-18)", false},  // a writecache snapshots fine
      {"cache,pool", "2.03.16(2) (2022-05-18)", false},           // so does a cache pool
  };
  for (auto& c : cases) {
    std::string pool = test::ReadFile(FIXTURES "/lvs-thick-thin.json");
    pool.replace(pool.find("{\"lv_name\":\"lvext4\""), 0,
                 R"({"lv_name":"[fast_cvol]", "vg_name":"vgtest", "lv_dm_path":"/dev/mapper/vgtest-fast_cvol", )"
                 R"("lv_attr":"Cwi-aoC---", "origin":"", "pool_lv":"", "lv_uuid":"kkkk", "lv_size":"16777216", )"
                 R"("vg_free":"100663296", "vg_extent_size":"4194304", "lv_kernel_major":"253", )"
                 R"("lv_kernel_minor":"12", "lv_snapshot_invalid":"-1", "lv_layout":")" +
                     c.layout + "\"},");
    test::WriteFile(dir + "/pool.json", pool);
    fakeLvm("FAKE_LVM_ALL_REPORT", dir + "/pool.json");
    fakeLvm("FAKE_LVM_VERSION", c.version);
    test::WriteFile(lvmLog, "");
    std::string error = createError("vgtest/lvxfs", "zrks_9");
    bool created = false, asked = false;
    for (auto& call : lvmCalls()) {
      created = created || call.rfind("lvcreate", 0) == 0;
      asked = asked || call == std::string("lvs --reportformat json --binary --units b --nosuffix -o ") +
                                   LvmReport::kFields + ",lv_layout -a vgtest/fast_cvol";
    }
    EXPECT_EQ(created, !c.refused) << c.layout << " " << c.version << ": " << error;
    EXPECT_TRUE(asked) << "the cache volume's layout is asked for";
    if (c.refused) {
      EXPECT_EQ(error,
                "Cannot snapshot vgtest/lvxfs: it is cached through the cache volume vgtest/fast_cvol (lvconvert "
                "--cachevol), and lvm 2.03.16(2) cannot snapshot such an LV (lvm 2.03.21 can): its lvcreate fails "
                "half-way. Detach the cache (lvconvert --splitcache vgtest/lvxfs) or cache the LV through a cache "
                "pool (--cachepool) (Operation not supported)");
    }
  }
}

// How full a snapshot's space is, from the kernel's status lines.
TEST_F(LvmEngineTest, UsageComesFromTheKernelsStatus) {
  using namespace FlrSnapOS::DmStatus;
  double data = 0, metadata = 0;
  EXPECT_TRUE(SnapshotFill("1024/4096 16", data));
  EXPECT_DOUBLE_EQ(data, 25.0);
  EXPECT_FALSE(SnapshotFill("Invalid", data));
  EXPECT_FALSE(SnapshotFill("16/0 16", data));
  EXPECT_TRUE(PoolFill("1 10/4096 1536/2048 - rw discard_passdown queue_if_no_space - 1024", data, metadata));
  EXPECT_DOUBLE_EQ(data, 75.0);
  EXPECT_NEAR(metadata, 0.244, 0.001);
  EXPECT_FALSE(PoolFill("Fail", data, metadata));

  dmTargets["vgtest-zrks_1"] = {"snapshot", "8192/131072 16"};
  dmTargets["vgtest-pool-tpool"] = {"thin-pool", "1 1024/4096 1536/2048 - rw discard_passdown queue_if_no_space - 1"};
  EXPECT_EQ(lvm->usage(*snapshot("vgtest/lvext4", "zrks_1")), "6.25% of its 64 MiB copy-on-write space");
  EXPECT_EQ(lvm->usage(*snapshot("vgtest/thinlv", "zrks_2")),
            "its thin pool vgtest/pool: 75.00% of data and 25.00% of metadata");
  dmTargets.clear();
  EXPECT_EQ(lvm->usage(*snapshot("vgtest/lvext4", "zrks_1")), "") << "no status, no figure";
}
