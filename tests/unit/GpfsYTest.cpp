// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "TestSupport.h"
#include "engines/gpfs/GpfsEngine.h"
#include "engines/gpfs/GpfsFilesets.h"
#include "engines/gpfs/GpfsSnapDir.h"
#include "engines/gpfs/GpfsY.h"
#include "zr/ZrException.h"

namespace GpfsY = FlrSnapOS::GpfsY;
namespace GpfsSnapDir = FlrSnapOS::GpfsSnapDir;
namespace GpfsFilesets = FlrSnapOS::GpfsFilesets;
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

TEST(GpfsEngine, IdentityTexts) {
  EXPECT_EQ(GpfsEngine::SnapshotSpecial("/dev/gpfs0", "", "zrgpfs_1"), "gpfs0@zrgpfs_1");
  EXPECT_EQ(GpfsEngine::SnapshotSpecial("gpfs0", "ibtest", "zrgpfs_1"), "gpfs0@ibtest@zrgpfs_1");
  // A later process rebuilds an equal identity from the record line.
  EXPECT_EQ(FlrSnapOS::RDEV("gpfs0@ibtest@zrgpfs_1"),
            FlrSnapOS::RDEV(GpfsEngine::SnapshotSpecial("gpfs0", "ibtest", "zrgpfs_1")));
}

// Both shapes of `mmsnapdir -q`, as public drivers of the command parse them.
struct SnapDirCase {
  std::string fs, output, global, fileset;
};
void PrintTo(const SnapDirCase& c, std::ostream* os) { *os << c.fs; }

class GpfsSnapDirShapes : public ::testing::TestWithParam<SnapDirCase> {};

TEST_P(GpfsSnapDirShapes, NameTheDirectoryOfEachKind) {
  auto names = GpfsSnapDir::Parse(GetParam().output, GetParam().fs);
  EXPECT_EQ(names.global, GetParam().global);
  EXPECT_EQ(names.fileset, GetParam().fileset);
}

INSTANTIATE_TEST_SUITE_P(
    GpfsSnapDir, GpfsSnapDirShapes,
    ::testing::Values(
        SnapDirCase{"fs1", "Snapshot directory for \"fs1\" is \".link\" (root directory only)\n", ".link", ".link"},
        SnapDirCase{"gpfs1", "Snapshot directory for \"gpfs1\" is \".snaps\" (all directories)\n", ".snaps", ".snaps"},
        SnapDirCase{"gpfs2",
                    "Fileset snapshot directory for \"gpfs2\" is \".snapshots\" (root directory only)\n"
                    "Global snapshot directory for \"gpfs2\" is \".snapshots\" in root fileset\n",
                    ".snapshots", ".snapshots"},
        SnapDirCase{"gpfs3",
                    "Fileset snapshot directory for \"gpfs3\" is \".snapshots\" (root directory only)\n"
                    "Global snapshot directory for \"gpfs3\" is \".snapshots\" in all filesets\n",
                    ".snapshots", ".snapshots"},
        SnapDirCase{"gpfs4",
                    "Fileset snapshot directory for \"gpfs4\" is \".fsnaps\" (all directories)\n"
                    "Global snapshot directory for \"gpfs4\" is \".gsnaps\" in root fileset\n",
                    ".gsnaps", ".fsnaps"},
        SnapDirCase{"gpfs5",
                    "Fileset snapshot directory for \"gpfs5\" is \".link\" (all directories)\n"
                    "Global snapshot directory for \"gpfs5\" is \".link\" in all filesets",
                    ".link", ".link"}));

class GpfsSnapDirUnknown : public ::testing::TestWithParam<std::string> {};

TEST_P(GpfsSnapDirUnknown, IsAnErrorNamingCommandFileSystemAndText) {
  try {
    GpfsSnapDir::Parse(GetParam(), "gpfs4");
    FAIL() << "accepted: " << GetParam();
  } catch (const ZrException& e) {
    std::string shown = GetParam();
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    EXPECT_EQ(std::string(e.getMessage()),
              "mmsnapdir gpfs4 -q printed what is not a description of the snapshot directories of gpfs4, so where "
              "its snapshots appear is unknown: \"" +
                  shown + "\"");
    EXPECT_EQ(e.getErrno(), EPROTO);
  }
}

INSTANTIATE_TEST_SUITE_P(
    GpfsSnapDir, GpfsSnapDirUnknown,
    ::testing::Values("", "\n", "garbage\n",
                      // another file system's answer
                      "Snapshot directory for \"gpfs1\" is \".snaps\" (all directories)\n",
                      // the fileset line alone, the global line alone, the two swapped
                      "Fileset snapshot directory for \"gpfs4\" is \".fsnaps\" (all directories)\n",
                      "Global snapshot directory for \"gpfs4\" is \".gsnaps\" in root fileset\n",
                      "Global snapshot directory for \"gpfs4\" is \".gsnaps\" in root fileset\n"
                      "Fileset snapshot directory for \"gpfs4\" is \".fsnaps\" (all directories)\n",
                      // one-line shape with something after it, or a third line
                      "Snapshot directory for \"gpfs4\" is \".snaps\" (all directories)\nmore\n",
                      "Snapshot directory for \"gpfs4\" is \".snaps\" (all directories)\n\n",
                      "Fileset snapshot directory for \"gpfs4\" is \".fsnaps\" (all directories)\n"
                      "Global snapshot directory for \"gpfs4\" is \".gsnaps\" in root fileset\nmore\n",
                      // unknown scope words, an empty name, a name that is a path
                      "Snapshot directory for \"gpfs4\" is \".snaps\" (some directories)\n",
                      "Snapshot directory for \"gpfs4\" is \".snaps\"\n",
                      "Snapshot directory for \"gpfs4\" is \"\" (all directories)\n",
                      "Snapshot directory for \"gpfs4\" is \"a/b\" (all directories)\n",
                      "Fileset snapshot directory for \"gpfs4\" is \".fsnaps\" (all directories)\n"
                      "Global snapshot directory for \"gpfs4\" is \".gsnaps\" in every fileset\n"));

// Rows of `mmlsfileset <fs> -L -Y` as GpfsY gives them.
GpfsY::Row FilesetRow(const std::string& name, const std::string& path, const std::string& status = "Linked",
                      const std::string& owner = "1") {
  return {{"filesetName", name}, {"path", path}, {"status", status}, {"isInodeSpaceOwner", owner}};
}

struct JunctionCase {
  std::string mountPoint;
  std::vector<GpfsY::Row> rows;
  std::vector<std::pair<std::string, std::string>> expected;  // name, path
};
void PrintTo(const JunctionCase& c, std::ostream* os) { *os << "mounted on " << c.mountPoint; }

class GpfsJunctions : public ::testing::TestWithParam<JunctionCase> {};

TEST_P(GpfsJunctions, FollowTheMountTable) {
  std::vector<std::pair<std::string, std::string>> got;
  for (auto& f : GpfsFilesets::Independent(GetParam().rows, "project", GetParam().mountPoint)) {
    got.emplace_back(f.name, f.path);
  }
  EXPECT_EQ(got, GetParam().expected);
}

const std::vector<GpfsY::Row> kProject = {FilesetRow("root", "/fs/project"), FilesetRow("ibtest", "/fs/project/ibtest"),
                                          FilesetRow("PAS1136", "--", "Unlinked"),
                                          FilesetRow("dependent", "/fs/project/dep dir", "Linked", "0"),
                                          FilesetRow("deep", "/fs/project/a/b/deep")};

INSTANTIATE_TEST_SUITE_P(
    GpfsFilesets, GpfsJunctions,
    ::testing::Values(
        // mounted where the cluster says: junctions as listed
        JunctionCase{"/fs/project", kProject, {{"ibtest", "/fs/project/ibtest"}, {"deep", "/fs/project/a/b/deep"}}},
        // mmmount put it elsewhere on this node
        JunctionCase{"/gpfs/p", kProject, {{"ibtest", "/gpfs/p/ibtest"}, {"deep", "/gpfs/p/a/b/deep"}}},
        // default or local mount point at the root of the tree
        JunctionCase{"/", kProject, {{"ibtest", "/ibtest"}, {"deep", "/a/b/deep"}}},
        JunctionCase{"/mnt", {FilesetRow("root", "/"), FilesetRow("ibtest", "/ibtest")}, {{"ibtest", "/mnt/ibtest"}}},
        // a junction that only shares the root's prefix is not under it
        JunctionCase{"/gpfs/p", {FilesetRow("root", "/fs/project"), FilesetRow("x", "/fs/projectX/x")}, {}}));

TEST(GpfsFilesets, JunctionOutsideTheRootIsLeftOutAndLogged) {
  auto log = boost::make_shared<test::CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
  auto got = GpfsFilesets::Independent({FilesetRow("root", "/fs/project"), FilesetRow("x", "/elsewhere/x")}, "project",
                                       "/gpfs/p");
  g_ptrLogWriter.reset();
  EXPECT_TRUE(got.empty());
  ASSERT_EQ(log->matching("Fileset x of project is left out: its junction /elsewhere/x is not under the root "
                          "fileset's junction /fs/project",
                          ZR_LOG_ERROR)
                .size(),
            1u);
}

TEST(GpfsFilesets, ListingWithoutRootFilesetIsAnError) {
  try {
    GpfsFilesets::Independent({FilesetRow("ibtest", "/fs/project/ibtest")}, "project", "/gpfs/p");
    FAIL() << "junctions were placed without the root fileset's";
  } catch (const ZrException& e) {
    EXPECT_EQ(std::string(e.getMessage()),
              "mmlsfileset project -L -Y lists no root fileset with a junction, so where the filesets of project are "
              "cannot be told");
  }
}
