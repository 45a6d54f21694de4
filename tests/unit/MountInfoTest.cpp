// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include "zr/MountInfo.h"
#include "zr/ZrException.h"

TEST(MountInfo, DecodesEscapesBindRootsAndDeviceNumbers) {
  auto table = zr::ReadMountInfo(FIXTURES "/mountinfo-lvm.txt");
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[1].target, "/srv/my data");
  EXPECT_EQ(table[1].source, "/dev/mapper/vgtest-lvext4");
  EXPECT_EQ(table[1].fstype, "ext4");
  EXPECT_EQ(table[1].root, "/");
  EXPECT_EQ(table[1].devno, makedev(253, 0));
  EXPECT_EQ(table[2].root, "/sub") << "a bind mount shows the path inside the file system";
  EXPECT_EQ(table[3].source, "gpfs0");
  EXPECT_EQ(table[3].fstype, "gpfs");
}

TEST(MountInfo, MissingFileIsAClearError) {
  EXPECT_THROW(zr::ReadMountInfo("/nonexistent/mountinfo"), ZrException);
  EXPECT_FALSE(zr::ReadMountInfo().empty()) << "this process's own table";
}

TEST(MountWatch, SeesNoChangeWhenNothingIsMounted) {
  zr::MountWatch watch;
  uint64_t first = watch.generation();
  EXPECT_EQ(watch.generation(), first);
}
