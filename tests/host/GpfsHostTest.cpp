// SPDX-License-Identifier: Apache-2.0
// The GPFS manager end to end through the reference host, on the GPFS engine
// driving a stateful fake of the administration commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "zr/CommandRunner.h"

namespace fs = std::filesystem;
using nlohmann::json;

class GpfsHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zrsnap-gpfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    top = fs::canonical(pattern);
    mount = top / "gpfs/fs0";
    fileset = mount / "projects";
    fs::create_directories(fileset / "deep");
    fs::create_directories(mount / "dependent");
    std::ofstream(mount / "top.txt") << "fs v1\n";
    std::ofstream(fileset / "p.txt") << "fileset v1\n";
    // The cluster's default mount point; this node has the file system elsewhere (mmmount).
    state = {{"filesystems",
              {{"gpfs0",
                {{"mount", mount.string()},
                 {"defaultMount", "/gpfs/fs0"},
                 {"filesets",
                  {{{"name", "projects"}, {"path", fileset.string()}, {"status", "Linked"}, {"independent", true}},
                   {{"name", "dependent"},
                    {"path", (mount / "dependent").string()},
                    {"status", "Linked"},
                    {"independent", false}}}},
                 {"snapshots", json::array()}}}}}};
    saveState();
    std::ofstream(top / "mountinfo") << "22 1 0:21 / / rw - ext4 /dev/vda rw\n"
                                     << "40 22 0:45 / " << mount.string() << " rw,relatime - gpfs gpfs0 rw\n"
                                     << "41 22 0:45 /projects " << (top / "bind").string()
                                     << " rw,relatime - gpfs gpfs0 rw\n";
    std::ofstream(top / "agent.ini") << "[GPFS]\nsCommandDir=" << (top / "mm").string()
                                     << "\nsMountInfo=" << (top / "mountinfo").string() << "\n";
    ::setenv("ZRSNAP_CONFIG", (top / "agent.ini").c_str(), 1);
    writeCommands();
  }
  // The engine gives the commands none of our environment: each wrapper names the fake's state.
  void writeCommands() {
    fs::create_directories(top / "mm");
    for (std::string command : {"mmlsfileset", "mmlssnapshot", "mmsnapdir", "mmcrsnapshot", "mmdelsnapshot"}) {
      fs::path wrapper = top / "mm" / command;
      std::ofstream(wrapper) << "#!/bin/sh\nFAKE_MM_STATE='" << (top / "mm.json").string() << "' FAKE_MM_LOG='"
                             << (top / "mm.log").string() << "' exec '" << FAKE_MM_DIR << "/" << command
                             << "' \"$@\"\n";
      fs::permissions(wrapper, fs::perms::owner_all);
    }
  }
  void TearDown() override { fs::remove_all(top); }

  void saveState() { std::ofstream(top / "mm.json") << state.dump(); }
  json loadState() { return json::parse(std::ifstream(top / "mm.json")); }
  json snapshots() { return loadState()["filesystems"]["gpfs0"]["snapshots"]; }
  static std::string read(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  zr::CommandResult zrsnap(std::vector<std::string> args) {
    std::vector<std::string> argv{ZRSNAP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    for (std::string extra : {"--kind", "gpfs", "--engine", "gpfs", "--state-dir"}) argv.push_back(extra);
    argv.push_back((top / "state").string());
    zr::CommandOptions options;
    options.timeoutSeconds = 60;
    options.inheritAll = true;  // as a user runs it
    return zr::RunCommand(argv, options);
  }

  fs::path top, mount, fileset;
  json state;
};

TEST_F(GpfsHostTest, FileSystemAndIndependentFilesetAreSnapshottedAndRemoved) {
  auto run =
      zrsnap({"run", "--json", "--exec",
              "cat \"$ZRSNAP_SNAPSHOT_2/p.txt\" > " + (top / "seen").string() + "; echo fileset v2 > " +
                  (fileset / "p.txt").string() + "; cat \"$ZRSNAP_SNAPSHOT_2/p.txt\" >> " + (top / "seen").string(),
              mount.string(), fileset.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::ifstream seen(top / "seen");
  std::string first, second;
  std::getline(seen, first);
  std::getline(seen, second);
  EXPECT_EQ(first, "fileset v1");
  EXPECT_EQ(second, "fileset v1") << "the snapshot keeps the content of its point in time";
  EXPECT_TRUE(snapshots().empty());
  auto done = std::ifstream(top / "state/snap.info.done");
  std::string line1, line2;
  std::getline(done, line1);
  std::getline(done, line2);
  EXPECT_EQ(line1.rfind(mount.string() + ":gpfs0@zrgpfs_", 0), 0u) << line1;
  EXPECT_EQ(line2.rfind(fileset.string() + ":gpfs0@projects@zrgpfs_", 0), 0u) << line2;
  EXPECT_NE(line2.find(":" + fileset.string() + "/.snapshots/zrgpfs_"), std::string::npos)
      << "the snapshot directory itself is the mount directory";
  EXPECT_TRUE(fs::is_empty(top / "state/mnt")) << "the directories made under the mount root are gone";
}

TEST_F(GpfsHostTest, PathThatIsNeitherIsCheckedButNotSnapshotted) {
  auto run = zrsnap({"run", "--json", (fileset / "deep").string(), (mount / "dependent").string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(json::parse(run.out).size(), 0u);
  EXPECT_TRUE(snapshots().empty());
}

TEST_F(GpfsHostTest, FailedSnapshotRollsBackTheFirst) {
  state["failCreate"] = 2;
  saveState();
  auto run = zrsnap({"run", mount.string(), fileset.string()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("mmcrsnapshot gpfs0 zrgpfs_"), std::string::npos) << run.err;
  EXPECT_NE(
      run.err.find("mmcrsnapshot: Cannot create a new snapshot until an existing one is deleted. File system gpfs0 "
                   "has a limit of 256 online snapshots."),
      std::string::npos)
      << run.err;
  EXPECT_TRUE(snapshots().empty());
}

TEST_F(GpfsHostTest, HostKilledMidJobIsRecoveredByCleanup) {
  auto run = zrsnap({"run", "--exec", "kill -KILL $PPID; sleep 5", mount.string(), fileset.string()});
  EXPECT_EQ(run.signal, SIGKILL);
  EXPECT_EQ(snapshots().size(), 2u);
  auto cleanup = zrsnap({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 0) << cleanup.out << cleanup.err;
  EXPECT_NE(cleanup.out.find("2 snapshot(s) removed"), std::string::npos) << cleanup.out;
  EXPECT_TRUE(snapshots().empty());
}

TEST_F(GpfsHostTest, InterruptedDeleteIsFinishedAndGoneSnapshotsAreNoError) {
  state["filesystems"]["gpfs0"]["snapshots"] = {
      {{"name", "zrgpfs_7"}, {"fileset", "projects"}, {"status", "Valid"}, {"failDeletes", 1}},
      {{"name", "nightly"}, {"fileset", ""}, {"status", "Valid"}, {"failDeletes", 0}}};
  saveState();
  fs::create_directories(top / "state");
  std::ofstream(top / "state/snap.info") << fileset.string() << ":gpfs0@projects@zrgpfs_7:/x\n"
                                         << mount.string() << ":gpfs0@nightly:/y\n"
                                         << mount.string() << ":gpfs0@zrgpfs_8:/z\n";
  auto cleanup = zrsnap({"cleanup", "-v"});
  EXPECT_NE(cleanup.out.find("1 snapshot(s) removed, 1 entry without a snapshot dropped, 1 remain"), std::string::npos)
      << cleanup.out << cleanup.err;
  ASSERT_EQ(snapshots().size(), 1u);
  EXPECT_EQ(snapshots()[0]["name"], "nightly") << "an administrator's snapshot is never deleted";
  EXPECT_NE(cleanup.err.find("Refusing to delete GPFS snapshot nightly of gpfs0"), std::string::npos) << cleanup.err;
}

TEST_F(GpfsHostTest, FailingFileSystemIsLeftOutAndTheOthersAreSnapshotted) {
  // A remote cluster's file system mounted under its real name: this cluster knows it by another.
  fs::create_directories(top / "gpfs/remote");
  std::ofstream(top / "mountinfo", std::ios::app)
      << "42 22 0:46 / " << (top / "gpfs/remote").string() << " rw,relatime - gpfs remotefs rw\n";
  auto run = zrsnap({"run", "--json", mount.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(json::parse(run.out).size(), 1u);
  EXPECT_NE(run.err.find("GPFS file system remotefs mounted on " + (top / "gpfs/remote").string() +
                         " is left out: mmlsfileset remotefs -L -Y exited with status 1: mmlsfileset: 6027-1388 File "
                         "system remotefs is not known to the GPFS cluster."),
            std::string::npos)
      << run.err;
  EXPECT_EQ(snapshots().size(), 1u);
}

TEST_F(GpfsHostTest, NameTakenByAnotherNodeIsRetriedAndThatSnapshotIsLeftAlone) {
  state["clashCreate"] = 1;
  saveState();
  auto run = zrsnap(
      {"run", "-v", "--exec", "cat \"$ZRSNAP_SNAPSHOT_1/top.txt\" > " + (top / "seen").string(), mount.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(read(top / "seen"), "fs v1\n");
  EXPECT_NE(run.err.find("6027-2601 Snapshot name zrgpfs_"), std::string::npos) << run.err;
  ASSERT_EQ(snapshots().size(), 1u) << "the other node's snapshot is not ours to delete";
  const std::string theirs = snapshots()[0]["name"];
  EXPECT_NE(read(top / "mm.log").find("mmcrsnapshot gpfs0 " + theirs + "\n"), std::string::npos);
  EXPECT_EQ(read(top / "mm.log").find("mmdelsnapshot gpfs0 " + theirs + "\n"), std::string::npos);
}

TEST_F(GpfsHostTest, FilesetSnapshotsOfOneNameAreTakenApartByFileset) {
  fs::create_directories(mount / "other");
  state["filesystems"]["gpfs0"]["filesets"].push_back(
      {{"name", "other"}, {"path", (mount / "other").string()}, {"status", "Linked"}, {"independent", true}});
  for (std::string set : {"projects", "other", ""}) {
    state["filesystems"]["gpfs0"]["snapshots"].push_back(
        {{"name", "zrgpfs_7"}, {"fileset", set}, {"status", "Valid"}, {"failDeletes", 0}});
  }
  saveState();
  fs::create_directories(top / "state");
  std::ofstream(top / "state/snap.info") << fileset.string() << ":gpfs0@projects@zrgpfs_7:/x\n";
  auto cleanup = zrsnap({"cleanup"});
  EXPECT_NE(cleanup.out.find("1 snapshot(s) removed"), std::string::npos) << cleanup.out << cleanup.err;
  std::vector<std::string> left;
  for (auto& snap : snapshots())
    left.push_back(snap["fileset"].get<std::string>() + "@" + snap["name"].get<std::string>());
  EXPECT_EQ(left, (std::vector<std::string>{"other@zrgpfs_7", "@zrgpfs_7"}));
  EXPECT_NE(read(top / "mm.log").find("mmdelsnapshot gpfs0 zrgpfs_7 -j projects\n"), std::string::npos);
}

// An administrator renamed the snapshot directories (mmsnapdir -s, or
// --fileset-snapdir and --global-snapdir): each shape of `mmsnapdir -q`.
struct SnapDirSetting {
  std::string global, fileset;
  bool globalsInFilesets;
};
void PrintTo(const SnapDirSetting& d, std::ostream* os) {
  *os << "global " << d.global << ", fileset " << d.fileset << (d.globalsInFilesets ? ", globals in filesets" : "");
}

class GpfsRenamedSnapDir : public GpfsHostTest, public ::testing::WithParamInterface<SnapDirSetting> {};

TEST_P(GpfsRenamedSnapDir, SnapshotsAreReadWhereTheyAppear) {
  const SnapDirSetting& d = GetParam();
  state["filesystems"]["gpfs0"]["snapdir"] = {
      {"global", d.global}, {"fileset", d.fileset}, {"globalsInFilesets", d.globalsInFilesets}};
  saveState();
  auto run = zrsnap({"run", "--exec",
                     "cat \"$ZRSNAP_SNAPSHOT_1/top.txt\" \"$ZRSNAP_SNAPSHOT_2/p.txt\" > " + (top / "seen").string(),
                     mount.string(), fileset.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(read(top / "seen"), "fs v1\nfileset v1\n");
  auto done = read(top / "state/snap.info.done");
  EXPECT_NE(done.find(":" + (mount / d.global).string() + "/zrgpfs_"), std::string::npos) << done;
  EXPECT_NE(done.find(":" + (fileset / d.fileset).string() + "/zrgpfs_"), std::string::npos) << done;
  EXPECT_TRUE(snapshots().empty());
}

INSTANTIATE_TEST_SUITE_P(GpfsHostTest, GpfsRenamedSnapDir,
                         ::testing::Values(SnapDirSetting{".snaps", ".snaps", false},    // one line
                                           SnapDirSetting{".gsnaps", ".fsnaps", false},  // two lines
                                           SnapDirSetting{".snaps", ".snaps", true}));   // two lines, one name
