// SPDX-License-Identifier: Apache-2.0
// The GPFS engine in process, driving the stateful fake of the administration commands.
#include <fstream>
#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "engines/gpfs/GpfsEngine.h"
#include "zr/ZrException.h"

using FlrSnapOS::GpfsEngine;
using nlohmann::json;

class GpfsEngineTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    mount = dir + "/gpfs/fs0";
    fileset = mount + "/projects";
    std::filesystem::create_directories(fileset);
    test::WriteFile(fileset + "/p.txt", "fileset v1\n");
    // The cluster's default mount point; this node has the file system elsewhere (mmmount).
    state = {{"filesystems",
              {{"gpfs0",
                {{"mount", mount},
                 {"defaultMount", "/gpfs/fs0"},
                 {"filesets", {{{"name", "projects"}, {"path", fileset}, {"status", "Linked"}, {"independent", true}}}},
                 {"snapshots", json::array()}}}}}};
    saveState();
    mountInfo({"gpfs0 " + mount});
    writeCommands();
    GpfsEngine::Config c;
    c.commandDir = dir + "/mm";
    c.mountInfo = dir + "/mountinfo";
    gpfs = std::make_shared<GpfsEngine>(c);
  }

  // The engine gives the commands none of our environment: each wrapper names the fake's state.
  void writeCommands() {
    std::filesystem::create_directories(dir + "/mm");
    for (std::string command : {"mmlsfileset", "mmlssnapshot", "mmsnapdir", "mmcrsnapshot", "mmdelsnapshot"}) {
      std::string wrapper = dir + "/mm/" + command;
      test::WriteFile(wrapper, "#!/bin/sh\nFAKE_MM_STATE='" + dir + "/mm.json' FAKE_MM_LOG='" + dir +
                                   "/mm.log' exec '" FIXTURES "/fake-mm/" + command + "' \"$@\"\n");
      std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    }
  }
  void saveState() { test::WriteFile(dir + "/mm.json", state.dump()); }
  json snapshots() { return json::parse(test::ReadFile(dir + "/mm.json"))["filesystems"]["gpfs0"]["snapshots"]; }
  std::string mmLog() { return test::FileExists(dir + "/mm.log") ? test::ReadFile(dir + "/mm.log") : ""; }
  // "source mountpoint" pairs of mounted GPFS file systems.
  void mountInfo(const std::vector<std::string>& mounts) {
    std::string text = "22 1 0:21 / / rw - ext4 /dev/vda rw\n";
    int id = 40;
    for (auto& m : mounts) {
      auto blank = m.find(' ');
      text += std::to_string(id++) + " 22 0:45 / " + m.substr(blank + 1) + " rw - gpfs " + m.substr(0, blank) + " rw\n";
    }
    test::WriteFile(dir + "/mountinfo", text);
  }
  SP<FlrSnapOS::LV> onlyVolume() {
    auto volumes = gpfs->listVolumes(FlrSnapOS::FLR_SNAP_ENG_GPFS);
    EXPECT_EQ(volumes.size(), 1u);
    return volumes.front();
  }
  // The ZrException that creating a snapshot of lv throws.
  ZrException createFails(const FlrSnapOS::LV& lv, const std::string& name) {
    std::string mountDir;
    try {
      gpfs->createSnap(lv, 0, name, mountDir);
    } catch (const ZrException& e) {
      return e;
    }
    ADD_FAILURE() << "snapshot " << name << " was created at " << mountDir;
    return ZrException("");
  }

  std::string mount, fileset;
  json state;
  std::shared_ptr<GpfsEngine> gpfs;
};

TEST_F(GpfsEngineTest, FileSetJunctionsAreWhereThisNodeMountedTheFileSystem) {
  auto fs = onlyVolume();
  ASSERT_EQ(fs->childLVs.size(), 1u);
  auto projects = fs->childLVs.front();
  EXPECT_EQ(projects->mountPath, fileset) << "mmlsfileset said /gpfs/fs0/projects";
  std::string mountDir;
  auto snap = gpfs->createSnap(*projects, 0, "zrgpfs_2", mountDir);
  EXPECT_EQ(snap->rdev.getSpecial(), gpfs->snapshotSpecial(*projects, "zrgpfs_2")) << "as recorded beforehand";
  EXPECT_EQ(mountDir, fileset + "/.snapshots/zrgpfs_2");
  EXPECT_EQ(test::ReadFile(mountDir + "/p.txt"), "fileset v1\n");
}

TEST_F(GpfsEngineTest, OneFailingFileSystemIsLoggedAndTheOthersListed) {
  std::filesystem::create_directories(dir + "/gpfs/remote");
  mountInfo({"gpfs0 " + mount, "remotefs " + dir + "/gpfs/remote"});
  auto fs = onlyVolume();
  EXPECT_EQ(fs->id, "gpfs0");
  EXPECT_EQ(log->matching("GPFS file system remotefs mounted on " + dir +
                              "/gpfs/remote is left out: mmlsfileset remotefs -L -Y exited with status 1: mmlsfileset: "
                              "6027-1388 File system remotefs is not known to the GPFS cluster.",
                          ZR_LOG_ERROR)
                .size(),
            1u);
}

TEST_F(GpfsEngineTest, WhenEveryFileSystemFailsTheListingFails) {
  mountInfo({"remotefs " + dir + "/gpfs/remote", "otherfs " + dir + "/gpfs/other"});
  try {
    gpfs->listVolumes(FlrSnapOS::FLR_SNAP_ENG_GPFS);
    FAIL() << "an empty list would tell crash recovery that no snapshot exists";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()),
              "No mounted GPFS file system could be listed: mmlsfileset remotefs -L -Y exited with status 1: "
              "mmlsfileset: 6027-1388 File system remotefs is not known to the GPFS cluster.");
  }
  EXPECT_EQ(log->matching("is left out", ZR_LOG_ERROR).size(), 2u);
}

TEST_F(GpfsEngineTest, UnknownSnapDirOutputStopsBeforeAnySnapshotExists) {
  state["filesystems"]["gpfs0"]["snapdirText"] = "Snapshot directory is .snapshots\n";
  saveState();
  ZrException e = createFails(*onlyVolume(), "zrgpfs_1");
  EXPECT_EQ(std::string(e.getMessage()),
            "mmsnapdir gpfs0 -q printed what is not a description of the snapshot directories of gpfs0, so where its "
            "snapshots appear is unknown: \"Snapshot directory is .snapshots\"");
  EXPECT_EQ(mmLog().find("mmcrsnapshot"), std::string::npos);
}

TEST_F(GpfsEngineTest, UnreachableSnapshotDirectoryIsDeletedAndNamed) {
  // GPFS makes the snapshot but hides it behind a plain file of the snapshot directory's name.
  test::WriteFile(mount + "/.snapshots", "not a directory\n");
  ZrException e = createFails(*onlyVolume(), "zrgpfs_1");
  EXPECT_EQ(std::string(e.getMessage()), "GPFS snapshot zrgpfs_1 of file system gpfs0 was made, but its directory " +
                                             mount +
                                             "/.snapshots/zrgpfs_1 cannot be read: Not a directory; the snapshot was "
                                             "deleted again");
  EXPECT_EQ(e.getErrno(), ENOTDIR);
  EXPECT_TRUE(snapshots().empty());
  EXPECT_NE(mmLog().find("mmdelsnapshot gpfs0 zrgpfs_1\n"), std::string::npos);
}

TEST_F(GpfsEngineTest, NameTakenByAnotherNodeIsEexistAndCreatesNothing) {
  state["clashCreate"] = 1;
  saveState();
  ZrException e = createFails(*onlyVolume(), "zrgpfs_1");
  EXPECT_EQ(e.getErrno(), EEXIST);
  EXPECT_EQ(std::string(e.getMessage()),
            "The GPFS snapshot name zrgpfs_1 is taken: mmcrsnapshot gpfs0 zrgpfs_1 exited with status 1: mmcrsnapshot: "
            "6027-2601 Snapshot name zrgpfs_1 already exists.");
  EXPECT_EQ(snapshots().size(), 1u) << "only the other node's";
  EXPECT_EQ(mmLog().find("mmdelsnapshot"), std::string::npos);
}

TEST_F(GpfsEngineTest, SnapshotsAreDeletedByFilesetAndName) {
  state["filesystems"]["gpfs0"]["filesets"].push_back(
      {{"name", "team@lab"}, {"path", mount + "/team"}, {"status", "Linked"}, {"independent", true}});
  for (std::string set : {"projects", "team@lab", ""}) {
    state["filesystems"]["gpfs0"]["snapshots"].push_back(
        {{"name", "zrgpfs_3"}, {"fileset", set}, {"status", "Valid"}, {"failDeletes", 0}});
  }
  saveState();
  auto fs = onlyVolume();
  std::vector<std::string> ids;
  for (auto& snap : fs->snaps) ids.push_back(snap->id);
  EXPECT_EQ(ids, (std::vector<std::string>{"gpfs0@projects@zrgpfs_3", "gpfs0@team@lab@zrgpfs_3", "gpfs0@zrgpfs_3"}));
  (*std::next(fs->snaps.begin()))->deleteSnap();
  ASSERT_EQ(snapshots().size(), 2u);
  EXPECT_EQ(snapshots()[0]["fileset"], "projects");
  EXPECT_EQ(snapshots()[1]["fileset"], "");
  EXPECT_NE(mmLog().find("mmdelsnapshot gpfs0 zrgpfs_3 -j team@lab\n"), std::string::npos);
}

// The commands answer for a file system this node has not mounted: its
// snapshots are asked for by name, and only its answer says one is gone.
TEST_F(GpfsEngineTest, RecordedSnapshotsAreAskedForByFileSystemMountedOrNot) {
  using FlrSnapOS::Presence;
  state["filesystems"]["gpfs0"]["snapshots"] = {{{"name", "zrgpfs_1"}, {"fileset", ""}, {"status", "Valid"}},
                                                {{"name", "zrgpfs_2"}, {"fileset", "projects"}, {"status", "Valid"}}};
  saveState();
  mountInfo({});  // unmounted on this node
  const std::vector<test::PresenceCase> cases{
      {"gpfs0@zrgpfs_1", Presence::Present, ""},
      {"gpfs0@projects@zrgpfs_2", Presence::Present, ""},
      {"gpfs0@zrgpfs_2", Presence::Absent, "mmlssnapshot lists no snapshot zrgpfs_2 of file system gpfs0"},
      {"gpfs0@projects@zrgpfs_3", Presence::Absent,
       "mmlssnapshot lists no snapshot zrgpfs_3 of fileset projects of gpfs0"},
      {"gpfs9@zrgpfs_1", Presence::Unknown, "the snapshots of GPFS file system gpfs9 cannot be listed: "},
      {"/dev/mapper/vg-zrks_1", Presence::Unknown, "/dev/mapper/vg-zrks_1 does not name a GPFS snapshot"},
  };
  auto found = test::ExpectAnswers(*gpfs, FlrSnapOS::FLR_SNAP_ENG_GPFS, cases);
  ASSERT_EQ(found.size(), cases.size());
  EXPECT_NE(found[4].reason.find("6027-1388"), std::string::npos) << found[4].reason;
  std::string log = mmLog();
  size_t asked = 0;
  for (size_t at = log.find("mmlssnapshot gpfs0 -Y"); at != std::string::npos;
       at = log.find("mmlssnapshot gpfs0", at + 1)) {
    ++asked;
  }
  EXPECT_EQ(asked, 1u) << "one listing per file system";
}
