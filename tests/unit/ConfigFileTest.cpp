// SPDX-License-Identifier: Apache-2.0
// The configuration store as a host checks it: what the file holds, why it
// cannot be used, and a problem logged once however often it is read.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <filesystem>

#include "TestSupport.h"
#include "zr/ZRPlatformInfo.h"

namespace {
struct NumberCase {
  const char* text;
  bool valid;
  unsigned long value;
};

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, DigitsOnlyWithinRange) {
  unsigned long value = 7;
  EXPECT_EQ(ZRPlatformInfo::ParseNumber(GetParam().text, &value), GetParam().valid) << GetParam().text;
  EXPECT_EQ(value, GetParam().valid ? GetParam().value : 7u) << "a refused text leaves the value alone";
}

INSTANTIATE_TEST_SUITE_P(Texts, NumberTest,
                         ::testing::Values(NumberCase{"0", true, 0}, NumberCase{"4096", true, 4096},
                                           NumberCase{"18446744073709551615", true, 18446744073709551615ul},
                                           NumberCase{"18446744073709551616", false, 0}, NumberCase{"-5", false, 0},
                                           NumberCase{"+5", false, 0}, NumberCase{" 5", false, 0},
                                           NumberCase{"5MB", false, 0}, NumberCase{"lots", false, 0},
                                           NumberCase{"", false, 0}));

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::MakeTempDir();
    log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
    g_ptrLogWriter = log;
  }
  void TearDown() override {
    g_ptrLogWriter.reset();
    std::filesystem::remove_all(dir);
  }
  std::string write(const std::string& text) {
    test::WriteFile(dir + "/agent.ini", text);
    return dir + "/agent.ini";
  }

  std::string dir;
  boost::shared_ptr<test::CapturingLogWriter> log;
};

TEST_F(ConfigFileTest, SectionsAndKeysInFileOrderIncludingEmptySections) {
  ZRPlatformInfo info(write("top=1\n[snapos]\n[TLM]\nnSnapCowSizeMB=12\n  [ LVM ]  \nsLvmPath=/x\n"));
  EXPECT_TRUE(info.found());
  EXPECT_EQ(info.problem(), "");
  EXPECT_EQ(info.sections(), (std::vector<std::string>{"snapos", "TLM", "LVM"}));
  using Key = std::pair<std::string, std::string>;
  EXPECT_EQ(info.keys(), (std::vector<Key>{{"", "top"}, {"TLM", "nSnapCowSizeMB"}, {"LVM", "sLvmPath"}}));
}

TEST_F(ConfigFileTest, UnusableFileIsAnEmptyStoreReportedOncePerProcess) {
  const std::string path = write("[TLM]\nnSnapCowSizeMB=12\n[SnapOS\n");
  for (int i = 0; i < 3; ++i) {
    ZRPlatformInfo info(path);
    unsigned long n = 0;
    EXPECT_EQ(info.getNumber("TLM", "nSnapCowSizeMB", &n), 0) << "nothing of a broken file is used";
    EXPECT_EQ(info.problem(), "line 3: unmatched '['");
  }
  auto lines = log->matching("Ignoring configuration file " + path + ": line 3: unmatched '['", ZR_LOG_ERROR);
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(ZRPlatformInfo::Inspect(path).problem(), "line 3: unmatched '['");
  EXPECT_EQ(log->lines.size(), 1u) << "Inspect leaves the report to its caller";
}

TEST_F(ConfigFileTest, MissingFileIsNoProblemButAFolderIs) {
  ZRPlatformInfo missing(dir + "/none.ini");
  EXPECT_FALSE(missing.found());
  EXPECT_EQ(missing.problem(), "");
  ZRPlatformInfo folder(dir);
  EXPECT_TRUE(folder.found());
  EXPECT_EQ(folder.problem(), "cannot read it: Is a directory");
}

TEST_F(ConfigFileTest, NamedByTheEnvironment) {
  ::setenv("ZRSNAP_CONFIG", (dir + "/a.ini").c_str(), 1);
  EXPECT_TRUE(ZRPlatformInfo::PathIsNamed());
  EXPECT_EQ(ZRPlatformInfo::DefaultPath(), dir + "/a.ini");
  ::setenv("ZRSNAP_CONFIG", "", 1);
  EXPECT_FALSE(ZRPlatformInfo::PathIsNamed());
  EXPECT_EQ(ZRPlatformInfo::DefaultPath(), "/etc/zrsnap/agent.ini");
}
}  // namespace
