// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"

using test::EngineTest;
using test::ReadLines;

namespace {
const char kSigFreeze[] = "CNeError CKestrelNativeSnapManagerPrivate::FreezeDC(const string&, const char*)";
const char kSigInit[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::Initialize(bool, std::string, std::string, std::string)";
}  // namespace

class FreezeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    calls = dir + "/udc-calls";
    ::setenv("UDC_CALL_LOG", calls.c_str(), 1);
    ::setenv("ZRSNAP_LIBRARY_DIR", UDC_OK_DIR, 1);
    m = makeManager();
  }
  std::string calls;
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
};

TEST_F(FreezeTest, WithoutALoadedEntryPointItFailsInsteadOfCallingNull) {
  CNeError e = m->FreezeDC("/data/", "/opt/zrsnap");
  EXPECT_EQ(e.Code(), 22);
  EXPECT_EQ(e.Message(), "DC Freeze failed for mountpoint /data. The DataClassification library is not loaded");
  EXPECT_FALSE(m->IsDCFreeze("/data"));
}

TEST_F(FreezeTest, FreezesOncePerSpellingAndAnswersForSamePaths) {
  ASSERT_FALSE(initialize(*m, true).IsError());
  ASSERT_TRUE(m->IsDCEnabled());
  EXPECT_FALSE(m->IsDCFreeze("/data"));
  ASSERT_FALSE(m->FreezeDC("/data/", "/opt/home").IsError());
  ASSERT_FALSE(m->FreezeDC("/data/", "/opt/home").IsError());
  ASSERT_FALSE(m->FreezeDC("/data", "/opt/home").IsError());
  EXPECT_EQ(ReadLines(calls), (std::vector<std::string>{"/data|/opt/home|-1|1", "/data|/opt/home|-1|1"}));
  EXPECT_EQ(m->GetFrozenVolumes(), (std::list<std::string>{"/data/", "/data"}));
  auto skipped = log->matching("DC freeze already done for /data/. skipping", ZR_LOG_DETAIL);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].function, kSigFreeze);
  EXPECT_EQ(log->matching("DC freeze successful for volume /data/", ZR_LOG_PROGRESS).size(), 1u);
  EXPECT_TRUE(m->IsDCFreeze("/data/./"));
  EXPECT_FALSE(m->IsDCFreeze("/data2"));
}

TEST_F(FreezeTest, FailureIsReportedAndRetriedNextTime) {
  ASSERT_FALSE(initialize(*m, true).IsError());
  for (int i = 0; i < 2; ++i) {
    CNeError e = m->FreezeDC("/failing/", "/opt/home");
    EXPECT_EQ(e.Code(), 22);
    EXPECT_EQ(e.Message(), "DC Freeze failed for mountpoint /failing. volume is busy");
    ASSERT_EQ(e.Trail().size(), 1u);
    EXPECT_EQ(e.Trail()[0].function, kSigFreeze);
  }
  EXPECT_EQ(ReadLines(calls).size(), 2u);
  EXPECT_EQ(log->matching("DC Freeze failed for mountpoint /failing. volume is busy", ZR_LOG_ERROR).size(), 2u);
  EXPECT_EQ(m->GetLastError(), "");
}

TEST_F(FreezeTest, MissingLibraryOrEntryPointDisablesDataClassification) {
  ::setenv("ZRSNAP_LIBRARY_DIR", (dir + "/nowhere").c_str(), 1);
  EXPECT_FALSE(initialize(*m, true).IsError());
  EXPECT_FALSE(m->IsDCEnabled());
  auto lines =
      log->matching("Could not load DataClassification library. DataClassification will not be used.", ZR_LOG_ERROR);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].function, kSigInit);

  ::setenv("ZRSNAP_LIBRARY_DIR", UDC_NOFREEZE_DIR, 1);
  EXPECT_FALSE(initialize(*m, true).IsError());
  EXPECT_FALSE(m->IsDCEnabled());
  EXPECT_EQ(log->matching("Could not obtain address of Freeze. Will not use DataClassification.", ZR_LOG_ERROR).size(),
            1u);
}

TEST_F(FreezeTest, SwitchedOffNothingIsLoadedOrFrozen) {
  std::string vol = addVolume("vg-a");
  ASSERT_FALSE(initialize(*m, false).IsError());
  std::list<std::string> contents{vol};
  ASSERT_FALSE(m->CreateAndMountSnap(contents).IsError()) << m->GetLastError();
  EXPECT_TRUE(log->matching("DataClassification").empty());
  EXPECT_TRUE(log->matching("DC ").empty());
  EXPECT_FALSE(m->IsDCFreeze(vol));
}
