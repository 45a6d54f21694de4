// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/make_shared.hpp>
#include <filesystem>

#include "NativeSnapRDEVCompare.h"
#include "TestSupport.h"

using FlrSnapOS::RDEV;

TEST(RDEV, ClassifiesTheWorkedExamples) {
  RDEV empty("");
  EXPECT_TRUE(empty.isNull);
  EXPECT_EQ(empty.type, FlrSnapOS::FLR_RDEV_OTHER);
  EXPECT_EQ(empty.devNumber, 0u);

  RDEV plain("host:/export/home");
  EXPECT_EQ(plain.type, FlrSnapOS::FLR_RDEV_REMOTE);
  EXPECT_EQ(plain.host, "host");
  EXPECT_EQ(plain.remotePath, "/export/home");
  EXPECT_EQ(plain.volume, "");

  RDEV q("host:/vol/vol0/q1");
  EXPECT_EQ(q.volume, "vol0");
  EXPECT_EQ(q.volumePath, "q1");

  RDEV snap("host:/vol/vol0/.snapshot/nightly.0/q1/a");
  EXPECT_EQ(snap.volume, "vol0");
  EXPECT_EQ(snap.name, "nightly.0");
  EXPECT_EQ(snap.volumePath, "q1/a");

  RDEV vol("host:/vol/vol0");
  EXPECT_EQ(vol.volume, "vol0");
  EXPECT_EQ(vol.volumePath, "");

  RDEV gpfs("gpfs0");
  EXPECT_EQ(gpfs.type, FlrSnapOS::FLR_RDEV_OTHER);
  EXPECT_EQ(gpfs.getSpecial(), "gpfs0");
  EXPECT_FALSE(gpfs.isNull);
}

TEST(RDEV, RemoteEdgeCases) {
  EXPECT_EQ(RDEV("host:/vol/").volume, "");
  RDEV s("host:/vol/v/.snapshot/");
  EXPECT_EQ(s.volume, "v");
  EXPECT_EQ(s.name, "");
  RDEV upper("host:/VOL/v");
  EXPECT_EQ(upper.remotePath, "/VOL/v");
  EXPECT_EQ(upper.volume, "");
  EXPECT_EQ(RDEV(":/x").host, "");
  EXPECT_EQ(RDEV("/mnt/a:/b").type, FlrSnapOS::FLR_RDEV_LOCAL) << "a leading / wins over :/";
}

TEST(RDEV, AliasesOfOneNodeAreEqualAndTypesNeverMix) {
  std::string dir = test::MakeTempDir();
  std::filesystem::create_symlink("/dev/null", dir + "/alias");
  RDEV a("/dev/null"), b(dir + "/alias");
  EXPECT_NE(a.devNumber, 0u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(b.name, "alias");
  EXPECT_NE(RDEV("/dev/null"), RDEV("/dev/zero"));
  EXPECT_NE(RDEV("/dev/sda1"), RDEV("host:/dev/sda1"));
  EXPECT_EQ(RDEV(""), RDEV(""));
  EXPECT_NE(RDEV(""), RDEV("gpfs0"));
  EXPECT_NE(RDEV("host:/a"), RDEV("host:/a/"));
  std::filesystem::remove_all(dir);
}

TEST(RDEV, UnexaminablePathsHaveDeviceNumberZeroAndLogOncePerIdentity) {
  auto log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
  RDEV gone("/dev/does-not-exist"), dir("/tmp");
  EXPECT_EQ(gone.devNumber, 0u);
  EXPECT_EQ(dir.devNumber, 0u) << "a directory is not a device node";
  EXPECT_EQ(gone, dir) << "equality itself stays by device number";
  EXPECT_TRUE(gone.isUnknownLocal());
  for (int i = 0; i < 3; ++i) (void)(gone == dir);
  auto lines = log->matching("Failed to stat /dev/does-not-exist: No such file or directory");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].function, "FlrSnapOS::RDEV::init");
  RDEV copy = gone;  // copies never examine the file system again
  EXPECT_EQ(log->matching("Failed to stat").size(), 1u);
  g_ptrLogWriter.reset();
}

TEST(NativeSnapRDEVCompare, FindsTheFirstMatchAndNeverMatchesDeviceZero) {
  auto log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
  auto engine = std::make_shared<FlrSnapOS::TestEngine>();
  std::list<SP<FlrSnapOS::LV>> list;
  list.push_back(SP<FlrSnapOS::LV>(new FlrSnapOS::LV(engine, "/tmp", "dir")));  // device number 0
  list.push_back(SP<FlrSnapOS::LV>(new FlrSnapOS::LV(engine, "/dev/null", "first")));
  list.push_back(SP<FlrSnapOS::LV>(new FlrSnapOS::LV(engine, "/dev/null", "second")));
  list.push_back(SP<FlrSnapOS::LV>(new FlrSnapOS::LV(engine, "vg-data", "bare")));
  log->lines.clear();

  auto found = std::find_if(list.begin(), list.end(), NativeSnapRDEVCompare("/dev/null"));
  ASSERT_NE(found, list.end());
  EXPECT_EQ((*found)->id, "first");
  EXPECT_EQ(std::find_if(list.begin(), list.end(), NativeSnapRDEVCompare("/var")), list.end());
  EXPECT_EQ(std::find_if(list.begin(), list.end(), NativeSnapRDEVCompare("/dev/gone")), list.end());
  EXPECT_EQ(log->matching("Failed to stat").size(), 1u) << "one stat per predicate, not per record";
  EXPECT_EQ((*std::find_if(list.begin(), list.end(), NativeSnapRDEVCompare("vg-data")))->id, "bare");
  EXPECT_EQ(std::find_if(list.begin(), list.end(), NativeSnapRDEVCompare("vg-dat")), list.end());
  g_ptrLogWriter.reset();
}
