// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>

#include "KindTest.h"

using test::FileExists;
using test::KindTest;
using test::ReadFile;
using test::ReadLines;
using test::WriteFile;

class RecordFileTest : public KindTest {};
INSTANTIATE_TEST_SUITE_P(Managers, RecordFileTest, ::testing::Values("native", "gpfs"), test::KindName);

TEST_P(RecordFileTest, EachSnapshotAppendsARecordLineAndAMapLine) {
  std::string a = addJobVolume("vg-a"), b = addJobVolume("vg-b");
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({b, a}).IsError()) << m->GetLastError();
  auto snaps = m->GetSourceToLocalMap();
  auto records = ReadLines(info);
  ASSERT_EQ(records.size(), 2u);
  // Volumes are taken in byte order, so a comes first whatever the content order.
  EXPECT_EQ(records[0], a + ":" + engine->snapshots()[0].device + ":" + snaps[a]);
  EXPECT_EQ(records[1], b + ":" + engine->snapshots()[1].device + ":" + snaps[b]);
  EXPECT_EQ(ReadFile(map), "m:" + a + ":" + snaps[a] + ":\nm:" + b + ":" + snaps[b] + ":\n");
  auto added = log->matching("Added " + records[0] + " to " + info, ZR_LOG_DETAIL);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].format, "Added %s:%s:%s to %s");
}

TEST_P(RecordFileTest, MountDirectoryThatCannotBeMadeIsNamedAndLeavesNoLine) {
  std::string a = addJobVolume("vg-a");
  ASSERT_FALSE(initialize(*m).IsError());
  WriteFile(dir + "/file-root", "");
  ASSERT_FALSE(m->Initialize(false, info, map, dir + "/file-root").IsError());
  CNeError e = runJob({a});
  const std::string start = "Unable to create mount directory " + dir + "/file-root/" + prefix();
  EXPECT_EQ(e.Message().rfind(start, 0), 0u) << e.Message();
  EXPECT_NE(e.Message().find("Not a directory"), std::string::npos) << e.Message();
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(ReadFile(info), "") << "the line written before the folder goes again";
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
}

TEST_P(RecordFileTest, SaveSnapDevInfoReportsUnsetAndUnwritablePaths) {
  std::string empty;
  m->SetSnapInfoFile(info);
  m->SetSnapMapInfoFile(empty);
  EXPECT_EQ(m->SaveSnapDevInfo("/src", "dev", "/mnt/x"), -1);
  EXPECT_EQ(ReadFile(info), "/src:dev:/mnt/x\n") << "the record line is written even without a map path";

  m->SetSnapInfoFile(empty);
  m->SetSnapMapInfoFile(map);
  EXPECT_EQ(m->SaveSnapDevInfo("/src", "dev", "/mnt/x"), -1);
  EXPECT_FALSE(FileExists(map)) << "nothing is written without a record path";

  std::string unwritable = dir + "/no-such-dir/snap.info";
  m->SetSnapInfoFile(unwritable);
  errno = 0;
  EXPECT_EQ(m->SaveSnapDevInfo("/src", "dev", "/mnt/x"), -2);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(FileExists(map)) << "no map line for a snapshot that has no record";
  EXPECT_EQ(log->matching("Cannot lock the snap record file " + unwritable + " through " + unwritable +
                              ".lock: No such file or directory",
                          ZR_LOG_ERROR)
                .size(),
            1u);
}

TEST_P(RecordFileTest, CleanupOfAMissingRecordLeavesEmptyFiles) {
  m->SetSnapInfoFile(info);
  EXPECT_FALSE(m->Cleanup().IsError());
  EXPECT_TRUE(FileExists(info));
  EXPECT_EQ(ReadFile(info), "");
  EXPECT_EQ(ReadFile(info + ".done"), "");
  EXPECT_FALSE(FileExists(info + ".fail"));
}

TEST_P(RecordFileTest, InvalidAndEmptyLinesAreHandledAsReadable) {
  std::string a = addJobVolume("vg-a");
  engine->addSnapshot("vg-a", prefix() + "1", "snapdev-1", "");
  engine->addSnapshot("vg-a", prefix() + "2", "snapdev-2", "");
  WriteFile(info, "/a:snapdev-1:/mnt/1\n\n/a:with:colon:/mnt/x\nm:/a:/mnt/1:\n/a:snapdev-2:/mnt/2");
  m->SetSnapInfoFile(info);
  EXPECT_FALSE(m->Cleanup().IsError());
  EXPECT_EQ(ReadLines(info + ".done"), (std::vector<std::string>{"/a:snapdev-1:/mnt/1", "/a:snapdev-2:/mnt/2"}))
      << "a last line without a line feed is still an entry";
  EXPECT_EQ(ReadFile(info), "") << "invalid lines are dropped";
  auto invalid = log->matching("Invalid entry in " + info, ZR_LOG_ERROR);
  ASSERT_EQ(invalid.size(), 2u) << "one per invalid line, none for the empty line";
  EXPECT_EQ(invalid[0].function, "CNeError CKestrelNativeSnapManagerPrivate::Cleanup()");
  EXPECT_TRUE(engine->snapshots().empty());
}

TEST_P(RecordFileTest, CleanupSplitsEntriesInOrderBetweenDoneAndRecord) {
  addJobVolume("vg-a");
  for (int i : {1, 3, 5}) engine->addSnapshot("vg-a", prefix() + std::to_string(i), "sd" + std::to_string(i), "");
  WriteFile(info, "/a:sd1:/m/1\n/a:sd2:/m/2\n/a:sd3:/m/3\n/a:sd4:/m/4\n/a:sd5:/m/5\n");
  m->SetSnapInfoFile(info);
  ASSERT_FALSE(m->Cleanup().IsError());
  EXPECT_EQ(ReadLines(info + ".done"), (std::vector<std::string>{"/a:sd1:/m/1", "/a:sd3:/m/3", "/a:sd5:/m/5"}));
  EXPECT_EQ(ReadLines(info), (std::vector<std::string>{"/a:sd2:/m/2", "/a:sd4:/m/4"}));
}

TEST_P(RecordFileTest, WithoutAFailFileTheRecordStaysWhole) {
  addJobVolume("vg-a");
  engine->addSnapshot("vg-a", prefix() + "1", "sd1", "");
  WriteFile(info, "/a:sd1:/m/1\n/a:gone:/m/2\n");
  ::mkdir((info + ".fail").c_str(), 0700);  // the fail file cannot be created
  m->SetSnapInfoFile(info);
  EXPECT_FALSE(m->Cleanup().IsError());
  EXPECT_EQ(ReadFile(info), "/a:sd1:/m/1\n/a:gone:/m/2\n");
  EXPECT_EQ(ReadFile(info + ".done"), "/a:sd1:/m/1\n");
  EXPECT_EQ(log->matching("Could not replace " + info + " with " + info + ".fail: File exists", ZR_LOG_ERROR).size(),
            1u);
}
