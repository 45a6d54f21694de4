// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"

using test::EngineTest;
using test::FileExists;
using test::ReadFile;
using test::WriteFile;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

class InitializeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    m = makeManager();
  }
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
};

TEST_F(InitializeTest, FreshManagerHasTheDocumentedState) {
  EXPECT_EQ(m->GetLastError(), "");
  EXPECT_TRUE(m->GetSourceToLocalMap().empty());
  EXPECT_EQ(m->GetSnapCowSizeMB(), 4096u);
  std::string a = "/x/a", b = "/x/b";
  m->SetSnapInfoFile(a);
  m->SetSnapMapInfoFile(b);
  EXPECT_EQ(m->GetSnapInfoFile(), a);
  EXPECT_EQ(m->GetSnapMapInfoFile(), b);
  EXPECT_FALSE(FileExists(a));
  EXPECT_TRUE(log->lines.empty()) << "construction writes no log line";
}

TEST_F(InitializeTest, CowSizeFallsBackFromTlmToFileSystemAgentToTheDefault) {
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(m->GetSnapCowSizeMB(), 4096u);
  auto lines = log->matching(
      "Could not get COW size from registry key TLM/nSnapCowSizeMB or FileSystemAgent/nSnapCowSizeMB. Defaulting to "
      "4096.",
      ZR_LOG_PROGRESS);
  EXPECT_EQ(lines.size(), 1u);

  writeConfig("[FileSystemAgent]\nnSnapCowSizeMB=300\n");
  log->lines.clear();
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(m->GetSnapCowSizeMB(), 300u);
  EXPECT_TRUE(log->matching("COW size").empty());

  writeConfig("[TLM]\nnSnapCowSizeMB=0\n[FileSystemAgent]\nnSnapCowSizeMB=300\n");
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(m->GetSnapCowSizeMB(), 0u) << "a found value is used unchanged";

  writeConfig("[TLM]\nnSnapCowSizeMB=777\n");
  ASSERT_FALSE(initialize(*m).IsError());
  writeConfig("");
  log->lines.clear();
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(m->GetSnapCowSizeMB(), 777u) << "lost keys keep the value of the last read";
  EXPECT_EQ(log->matching("Defaulting to 777.").size(), 1u);
}

TEST_F(InitializeTest, StartsWithoutRecordFilesEvenAfterItsCleanup) {
  std::string vol = addVolume("vg-a");
  ASSERT_FALSE(initialize(*m).IsError());
  std::list<std::string> contents{vol};
  ASSERT_FALSE(m->CreateAndMountSnap(contents).IsError());
  WriteFile(info + ".done", "old\n");
  log->lines.clear();

  m.reset();  // the run that made it is over
  auto next = makeManager();
  ASSERT_FALSE(initialize(*next).IsError());
  EXPECT_TRUE(engine->snapshots().empty()) << "the earlier run's snapshot is removed";
  EXPECT_FALSE(FileExists(info));
  EXPECT_FALSE(FileExists(map));
  EXPECT_FALSE(FileExists(info + ".done"));
  EXPECT_FALSE(FileExists(info + ".fail"));
}

TEST_F(InitializeTest, MissingFilesAreNoProblem) {
  EXPECT_FALSE(initialize(*m).IsError());
  for (auto& l : log->lines) EXPECT_EQ(l.text.find("snap.info"), std::string::npos) << l.text;
}

TEST_F(InitializeTest, SnapshotsThatStillExistStayRecordedForTheNextRun) {
  std::string a = addVolume("vg-a"), b = addVolume("vg-b");
  ASSERT_FALSE(initialize(*m).IsError());
  std::list<std::string> contents{a, b};
  ASSERT_FALSE(m->CreateAndMountSnap(contents).IsError());
  auto lines = test::ReadLines(info);
  ASSERT_EQ(lines.size(), 2u);
  WriteFile(info, lines[0] + "\n" + lines[1] + "\n/c:long-gone:/mnt/c\n");

  engine->inject(Call::UnMount, 2, Fault::ReturnFalse);  // b's snapshot stays busy
  m.reset();
  auto next = makeManager();
  ASSERT_FALSE(initialize(*next).IsError());
  EXPECT_EQ(ReadFile(info), lines[1] + "\n") << "the live entry is kept, the gone ones dropped";
  EXPECT_EQ(engine->snapshots().size(), 1u);
  EXPECT_EQ(log->matching("Keeping " + lines[1] + " in " + info, ZR_LOG_ERROR).size(), 1u);
  EXPECT_FALSE(FileExists(info + ".done"));
  EXPECT_FALSE(FileExists(map));

  next.reset();
  auto third = makeManager();
  ASSERT_FALSE(initialize(*third).IsError());
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_FALSE(FileExists(info));
}
