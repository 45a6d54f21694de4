#include <gtest/gtest.h>

#include "TestSupport.h"
#include "engines/gpfs/GpfsEngine.h"
#include "engines/gpfs/GpfsY.h"
#include "zr/ZrException.h"

namespace GpfsY = FlrSnapOS::GpfsY;
using FlrSnapOS::GpfsEngine;

TEST(GpfsY, MapsColumnsByTheHeaderAndDecodesValues) {
  auto rows = GpfsY::Parse(test::ReadFile(FIXTURES "/mmlsfileset-L-Y.txt"), "mmlsfileset");
  ASSERT_EQ(rows.size(), 5u) << "the banner line before the header is skipped";
  EXPECT_EQ(GpfsY::Get(rows[0], "filesetName"), "root");
  EXPECT_EQ(GpfsY::Get(rows[0], "path"), "/fs/project");
  EXPECT_EQ(GpfsY::Get(rows[0], "created"), "Sun Nov 15 02:47:48 2020");
  EXPECT_EQ(GpfsY::Get(rows[1], "path"), "/fs/project/ibtest");
  EXPECT_EQ(GpfsY::Get(rows[1], "isInodeSpaceOwner"), "1");
  EXPECT_EQ(GpfsY::Get(rows[2], "status"), "Unlinked");
  EXPECT_EQ(GpfsY::Get(rows[2], "path"), "--");
  EXPECT_EQ(GpfsY::Get(rows[3], "path"), "/fs/project/dep dir");
  EXPECT_EQ(GpfsY::Get(rows[3], "comment"), "a:comment");
  EXPECT_EQ(GpfsY::Get(rows[3], "isInodeSpaceOwner", "missing"), "missing") << "a short row lacks its last columns";
  EXPECT_EQ(GpfsY::Get(rows[4], "allocInodes"), "100000") << "extra columns of a newer release are ignored";
}

TEST(GpfsY, SnapshotListingsAndTheirAbsence) {
  auto rows = GpfsY::Parse(test::ReadFile(FIXTURES "/mmlssnapshot-Y.txt"), "mmlssnapshot");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(GpfsY::Get(rows[0], "directory"), "zrgpfs_1");
  EXPECT_EQ(GpfsY::Get(rows[0], "fileset"), "");
  EXPECT_EQ(GpfsY::Get(rows[1], "fileset"), "ibtest");
  EXPECT_EQ(GpfsY::Get(rows[1], "status"), "DeleteRequired");
  try {
    GpfsY::Parse(test::ReadFile(FIXTURES "/mmlsfileset-broken.txt"), "mmlsfileset");
    FAIL() << "output without a header was accepted";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()),
              "mmlsfileset printed no -Y header: mmlsfileset: 6027-1388 File system nosuch is not known to the GPFS "
              "cluster.");
  }
  EXPECT_THROW(GpfsY::Parse("", "mmlssnapshot"), ZrException);
}

TEST(GpfsY, PercentDecodingLeavesBrokenEscapesAlone) {
  EXPECT_EQ(GpfsY::PercentDecode("%2Fa%3Ab%2d%20c"), "/a:b- c");
  EXPECT_EQ(GpfsY::PercentDecode("100%"), "100%");
  EXPECT_EQ(GpfsY::PercentDecode("%zz%4"), "%zz%4");
}

TEST(GpfsEngine, SnapshotDirectoryAndIdentityTexts) {
  const std::string q =
      "Snapshot directory for \"gpfs3\" is \".snaps\" (root directory only)\n"
      "Fileset snapshot directory for \"gpfs3\" is \".fsnaps\" (root directory only)\n";
  EXPECT_EQ(GpfsEngine::ParseSnapDir(q, false), ".snaps");
  EXPECT_EQ(GpfsEngine::ParseSnapDir(q, true), ".fsnaps");
  EXPECT_EQ(GpfsEngine::ParseSnapDir("garbage", true), ".snapshots");
  EXPECT_EQ(GpfsEngine::SnapshotSpecial("/dev/gpfs0", "", "zrgpfs_1"), "gpfs0@zrgpfs_1");
  EXPECT_EQ(GpfsEngine::SnapshotSpecial("gpfs0", "ibtest", "zrgpfs_1"), "gpfs0@ibtest@zrgpfs_1");
  // A later process rebuilds an equal identity from the record line.
  EXPECT_EQ(FlrSnapOS::RDEV("gpfs0@ibtest@zrgpfs_1"),
            FlrSnapOS::RDEV(GpfsEngine::SnapshotSpecial("gpfs0", "ibtest", "zrgpfs_1")));
}
