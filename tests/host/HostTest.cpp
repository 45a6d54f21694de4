// SPDX-License-Identifier: Apache-2.0
// The reference host end to end on the simulated engine, through dlopen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "HostSupport.h"

namespace fs = std::filesystem;

class HostTest : public ::testing::TestWithParam<std::string>, protected host::SimHost {
 protected:
  void SetUp() override { makeHost(GetParam()); }
  void TearDown() override { removeHost(); }
};
INSTANTIATE_TEST_SUITE_P(Managers, HostTest, ::testing::Values("native", "gpfs"),
                         [](const auto& info) { return info.param; });

TEST_P(HostTest, RunLeavesMountedSnapshotsThatStatusShowsAndCleanupRemoves) {
  auto run = zrsnap({"run", "--json", a.string(), b.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  auto pairs = nlohmann::json::parse(run.out);
  ASSERT_EQ(pairs.size(), 2u);
  fs::path snapA = pairs[a.string()].get<std::string>();
  EXPECT_EQ(host::ReadFile(snapA / "sub/a.txt"), "alpha\n");  // closed again: an open file keeps a snapshot busy
  EXPECT_EQ(snapshots(), 2u);

  auto status = zrsnap({"status"});
  EXPECT_EQ(status.exitStatus, 1) << "the record names snapshots";
  EXPECT_NE(status.out.find("mounted"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(a.string()), std::string::npos);

  auto cleanup = zrsnap({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 0) << cleanup.err;
  EXPECT_NE(cleanup.out.find("2 snapshot(s) removed, 0 entries without a snapshot dropped, 0 remain"),
            std::string::npos)
      << cleanup.out;
  EXPECT_EQ(snapshots(), 0u);
  EXPECT_FALSE(fs::exists(snapA));
  EXPECT_NE(zrsnap({"status"}).out.find("names no snapshot"), std::string::npos);
}

TEST_P(HostTest, ExecRunsTheBackupWhileTheSnapshotsExist) {
  std::string script = "test \"$ZRSNAP_SNAPSHOT_COUNT\" = 2 && cat \"$ZRSNAP_SNAPSHOT_2/sub/b.txt\" > " +
                       (top / "copied").string() + " && echo \"$ZRSNAP_MAP_JSON\" > " + (top / "map.json").string() +
                       " && exit 3";
  auto run = zrsnap({"run", "--exec", script, a.string(), b.string()});
  EXPECT_EQ(run.exitStatus, 3) << "the backup command's status comes back: " << run.err;
  std::ifstream copied(top / "copied");
  std::string line;
  std::getline(copied, line);
  EXPECT_EQ(line, "beta");
  EXPECT_EQ(nlohmann::json::parse(std::ifstream(top / "map.json")).size(), 2u);
  EXPECT_EQ(snapshots(), 0u) << "removed after the command";
  EXPECT_EQ(record(), "");
}

TEST_P(HostTest, RefusedPathSnapshotsNothing) {
  auto run = zrsnap({"run", a.string(), "/"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("zrsnap: snapshot failed: Subclient content belongs to /."), std::string::npos) << run.err;
  EXPECT_EQ(snapshots(), 0u);
}

TEST_P(HostTest, FailedSnapshotRollsBackTheJob) {
  sim->setActive("simvg-b", false);
  auto run = zrsnap({"run", a.string(), b.string()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("zrsnap: snapshot failed: Cannot snapshot simvg-b: the volume is not active"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(snapshots(), 0u) << "a's snapshot is rolled back";
  EXPECT_EQ(record(), "");
  EXPECT_TRUE(fs::is_empty(top / "state/mnt"));
}

TEST_P(HostTest, HostKilledMidJobIsRecoveredByCleanup) {
  auto run = zrsnap({"run", "--exec", "kill -KILL $PPID; sleep 5", a.string(), b.string()});
  EXPECT_EQ(run.signal, SIGKILL) << run.err;
  EXPECT_EQ(snapshots(), 2u) << "the snapshots outlive the host";
  auto cleanup = zrsnap({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 0) << cleanup.out << cleanup.err;
  EXPECT_EQ(snapshots(), 0u);
  EXPECT_TRUE(fs::is_empty(top / "state/mnt"));
}

TEST_P(HostTest, ErrorsAreOneClearLine) {
  auto bad = zrsnap({"run", "--frobnicate"});
  EXPECT_EQ(bad.exitStatus, 2);
  EXPECT_EQ(bad.err, "zrsnap: unknown option --frobnicate\n");
  auto none = zrsnap({"run"});
  EXPECT_EQ(none.err, "zrsnap: run needs at least one PATH\n");
  for (std::string command : {"run", "cleanup", "status", "demo"}) {
    auto help = zrsnap({command, "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("usage: zrsnap " + command, 0), 0u) << help.out;
  }
}

TEST(HostDemo, ShowsTheWholeJobAndLeavesNothing) {
  zr::CommandOptions options;
  options.timeoutSeconds = 60;
  options.inheritAll = true;
  auto demo = zr::RunCommand({ZRSNAP_BINARY, "demo", "-q"}, options);
  ASSERT_EQ(demo.exitStatus, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("snapshot report.txt: quarterly report, draft 1"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("Everything the job made is gone."), std::string::npos);
  std::string folder = demo.out.substr(13, demo.out.find('\n') - 13);
  EXPECT_FALSE(fs::exists(folder)) << folder;
}
