// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "KindTest.h"
#include "zr/EvDebug.h"

using test::FileExists;
using test::KindTest;
using test::ReadFile;
using test::ReadLines;
using test::WriteFile;
using Call = FlrSnapOS::TestEngine::Call;
using Fault = FlrSnapOS::TestEngine::Fault;

namespace {
unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Inside createSnap: makes the snapshot it was asked for, as another node or
// a command that then fails would.
void MakeNamedSnapshot(FlrSnapOS::TestEngine& engine, const std::string& devicePrefix) {
  std::istringstream call(engine.calls().back());
  std::string verb, origin, name;
  call >> verb >> origin >> name;
  engine.addSnapshot(origin, name, devicePrefix + name, "");
}

// Sets the umask for one scope.
struct Umask {
  explicit Umask(mode_t mask) : old(::umask(mask)) {}
  ~Umask() { ::umask(old); }
  mode_t old;
};
}  // namespace

class RecordSafetyTest : public KindTest {
 protected:
  void SetUp() override {
    KindTest::SetUp();
    vol = addJobVolume("vg-a");
  }
  std::string vol;
};
INSTANTIATE_TEST_SUITE_P(Managers, RecordSafetyTest, ::testing::Values("native", "gpfs"), test::KindName);

TEST_P(RecordSafetyTest, SecondManagerOnTheRecordTouchesNothing) {
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({vol}).IsError());
  // Replaced as a teardown replaces it: the lock must hold on.
  WriteFile(info + ".new", ReadFile(info));
  ASSERT_EQ(::rename((info + ".new").c_str(), info.c_str()), 0);

  auto other = makeManager(GetParam());
  const std::string inUse = "The snap record file " + info + " is in use by process " + std::to_string(::getpid());
  CNeError refused = initialize(*other);
  EXPECT_EQ(refused.Code(), EBUSY);
  EXPECT_EQ(refused.Message().rfind(inUse, 0), 0u) << refused.Message();
  std::list<std::string> contents{vol};
  EXPECT_EQ(other->CreateAndMountSnap(contents).Message().rfind(inUse, 0), 0u);
  EXPECT_EQ(other->UnMountSnap().Message().rfind(inUse, 0), 0u);
  EXPECT_EQ(other->GetLastError().rfind(inUse, 0), 0u);
  EXPECT_EQ(engine->snapshots().size(), 1u) << "the running job's snapshot is untouched";
  EXPECT_FALSE(ReadFile(info).empty());

  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_FALSE(initialize(*other).IsError()) << "the lock goes with the job";
}

TEST_P(RecordSafetyTest, ManagerReusedForASecondJobStartsClean) {
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({vol}).IsError());
  const std::string first = m->GetSourceToLocalMap()[vol];
  ASSERT_FALSE(m->UnMountSnap().IsError());
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_TRUE(m->GetSourceToLocalMap().empty());
  ASSERT_FALSE(runJob({vol}).IsError());
  EXPECT_EQ(engine->callsOf("createSnap").size(), 2u) << "the second job takes its own snapshot";
  EXPECT_NE(m->GetSourceToLocalMap()[vol], first);
  EXPECT_EQ(engine->snapshots().size(), 1u);
}

TEST_P(RecordSafetyTest, OnlyTheMatchedSnapshotIsUnmounted) {
  std::string b = addJobVolume("vg-b");
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({vol, b}).IsError());
  auto lines = ReadLines(info);
  ASSERT_EQ(lines.size(), 2u);
  // The first snapshot's device with the second one's directory.
  std::string forged = lines[0].substr(0, lines[0].rfind(':')) + lines[1].substr(lines[1].rfind(':'));
  WriteFile(info, forged + "\n");
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_TRUE(engine->callsOf("unMount").empty());
  EXPECT_EQ(engine->snapshots().size(), 2u);
  EXPECT_EQ(ReadFile(info), forged + "\n") << "the entry is kept";
  EXPECT_EQ(log->matching("but not there. The entry is kept", ZR_LOG_ERROR).size(), 1u);
}

// A listing that leaves a volume out proves nothing about the snapshots it
// would have shown; only the engine's word that one is gone drops its entry,
// and the folder the job made for it goes with it.
TEST_P(RecordSafetyTest, EntryIsDroppedOnlyWhenTheEngineKnowsItGone) {
  addJobVolume("vg-b");
  const std::string empty = mountRoot + "/" + prefix() + "1", full = mountRoot + "/" + prefix() + "2";
  std::filesystem::create_directories(empty);
  std::filesystem::create_directories(full);
  WriteFile(full + "/file", "written into the folder by someone");
  const std::string gone = "/a:testsnap-" + prefix() + "1:" + empty, busy = "/a:testsnap-" + prefix() + "2:" + full;
  const std::string record = gone + "\n" + busy + "\n/a:testsnap-" + prefix() + "3:" + dir + "/missing\n";
  WriteFile(info, record);

  engine->setHidden("vg-b", true);
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(ReadFile(info), record) << "nothing is dropped while a volume is not visible";
  EXPECT_TRUE(FileExists(empty));
  EXPECT_EQ(log->matching("cannot tell whether its snapshot is gone: volumes vg-b are hidden", ZR_LOG_ERROR).size(),
            3u);

  engine->setHidden("vg-b", false);
  log->lines.clear();
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(ReadFile(info), busy + "\n");
  EXPECT_FALSE(FileExists(empty)) << "the folder of a gone snapshot is removed";
  EXPECT_TRUE(FileExists(full + "/file"));
  EXPECT_EQ(
      log->matching("its mount directory " + full + " cannot be removed: Directory not empty", ZR_LOG_ERROR).size(),
      1u);
}

TEST_P(RecordSafetyTest, DamagedSnapshotFailsTheTeardownButIsRemoved) {
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({vol}).IsError());
  auto snap = engine->snapshots()[0];
  engine->setDamage(snap.name, "overflowed");
  CNeError e = m->UnMountSnap();
  EXPECT_EQ(e.Code(), EIO);
  EXPECT_EQ(e.Message(), "The backup read from these snapshots is incomplete: " + snap.device + " (overflowed)");
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(ReadFile(info), "");

  // Damaged as soon as it is made: the job fails and nothing stays.
  ASSERT_FALSE(initialize(*m).IsError());
  engine->inject(Call::CreateSnap, 2, Fault::After, "",
                 [&] { engine->setDamage(engine->snapshots()[0].name, "full"); });
  e = runJob({vol});
  EXPECT_NE(e.Message().find("cannot be backed up: full"), std::string::npos) << e.Message();
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(ReadFile(info), "");
}

TEST_P(RecordSafetyTest, FailedOrTakenNamesLeaveNoStaleLine) {
  ASSERT_FALSE(initialize(*m).IsError());
  std::list<SP<FlrSnapOS::LV>> volumes;
  m->getLVList(volumes);
  ASSERT_FALSE(volumes.empty());
  engine->inject(Call::CreateSnap, 1, Fault::ThrowZr, "no space");
  EXPECT_TRUE(m->SnapAndMount(vol, volumes.front()).IsError());
  EXPECT_EQ(ReadFile(info), "") << "a clean failure leaves no line behind";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mountRoot), {}), 0);

  // Another node takes the chosen name at the same instant: the next number is tried.
  engine->inject(Call::CreateSnap, 2, Fault::Before, "", [&] { MakeNamedSnapshot(*engine, "elsewhere-"); });
  ASSERT_FALSE(m->SnapAndMount(vol, volumes.front()).IsError()) << m->GetLastError();
  auto lines = ReadLines(info);
  ASSERT_EQ(lines.size(), 1u) << "only the snapshot that was made is recorded";
  EXPECT_EQ(engine->callsOf("createSnap").size(), 3u);
  EXPECT_NE(lines[0].find(engine->snapshots().back().device), std::string::npos);
}

// Names that others can plant in a shared state folder.
class PlantedLinkTest : public test::EngineTest, public ::testing::WithParamInterface<std::string> {};
INSTANTIATE_TEST_SUITE_P(Names, PlantedLinkTest,
                         ::testing::Values(".done", ".fail", ".tmp", ".lock", ".done.tmp", "map"),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                           std::string name = i.param;
                           for (auto& c : name) c = c == '.' ? '_' : c;
                           return name;
                         });

TEST_P(PlantedLinkTest, NothingIsWrittenThroughALink) {
  const std::string vol = addVolume("vg-a");
  const std::string victim = dir + "/victim";
  WriteFile(victim, "precious\n");
  const std::string planted = GetParam() == "map" ? map : info + GetParam();
  ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
  auto m = makeManager();
  std::list<std::string> contents{vol};
  const bool initialized = !initialize(*m).IsError();
  const bool created = initialized && !m->CreateAndMountSnap(contents).IsError();
  if (created) {
    EXPECT_FALSE(m->UnMountSnap().IsError());
  }
  EXPECT_EQ(ReadFile(victim), "precious\n");
  EXPECT_TRUE(engine->snapshots().empty()) << "every snapshot made was removed";
}

TEST_P(RecordSafetyTest, FilesArePrivateAndWarningsNameExposedFolders) {
  Umask open(0);
  ::chmod(dir.c_str(), 0777);
  ::chmod(mountRoot.c_str(), 0755);
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_EQ(log->matching("The folder " + dir + " that holds the snap record file can be written by other users",
                          ZR_LOG_ERROR)
                .size(),
            1u);
  EXPECT_EQ(log->matching("The mount root " + mountRoot + " can be entered by other users", ZR_LOG_ERROR).size(), 1u);

  std::filesystem::remove_all(mountRoot);
  const std::string root = mountRoot + "/nested";
  ASSERT_FALSE(m->Initialize(false, info, map, root).IsError());
  ASSERT_FALSE(runJob({vol}).IsError());
  for (auto& made : {info, map, info + ".lock"}) EXPECT_EQ(ModeOf(made), 0600u) << made;
  for (auto& made : {mountRoot, root, m->GetSourceToLocalMap()[vol]}) EXPECT_EQ(ModeOf(made), 0700u) << made;
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_EQ(ModeOf(info + ".done"), 0600u);
}

TEST_P(RecordSafetyTest, RecordThatCannotBeReadIsKeptAsItIs) {
  struct Case {
    const char* what;
    std::function<void()> plant;
    const char* reason;
  };
  const std::string real = dir + "/real.info";
  std::vector<Case> cases{
      {"a symbolic link", [&] { ::symlink(real.c_str(), info.c_str()); }, "Too many levels of symbolic links"},
      {"a folder", [&] { std::filesystem::create_directories(info + "/x"); }, "Invalid argument"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(info);
    WriteFile(real, "/a:" + prefix() + "dev:/mnt/x\n");
    c.plant();
    m = makeManager(GetParam());
    CNeError e = initialize(*m);
    const std::string expected = "Cannot read the snap record file " + info + ": " + c.reason + ". It is kept as it is";
    EXPECT_EQ(e.Message().rfind(expected, 0), 0u) << e.Message();
    EXPECT_EQ(log->matching(expected, ZR_LOG_ERROR).size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(info))) << "the record is not deleted";
    EXPECT_EQ(ReadFile(real), "/a:" + prefix() + "dev:/mnt/x\n");
    log->lines.clear();
  }
}

TEST_P(RecordSafetyTest, LineBreaksAreRefusedBeforeCreationAndCrLfLinesAreRead) {
  ASSERT_FALSE(initialize(*m).IsError());
  EXPECT_TRUE(runJob({vol + "/odd\nname"}).IsError());
  ASSERT_FALSE(m->Initialize(false, info, map, mountRoot + "/a\nb").IsError());
  EXPECT_TRUE(runJob({vol}).IsError());
  ASSERT_FALSE(initialize(*m).IsError());
  engine->setSnapDeviceFormat("dev\r{name}");
  EXPECT_TRUE(runJob({vol}).IsError());
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
  EXPECT_FALSE(FileExists(mountRoot + "/a\nb"));

  engine->setSnapDeviceFormat("testsnap-{name}");
  ASSERT_FALSE(runJob({vol}).IsError());
  const std::string line = ReadLines(info).at(0);
  WriteFile(info, line + "\r\n");
  ASSERT_FALSE(m->UnMountSnap().IsError());
  EXPECT_TRUE(engine->snapshots().empty());
  EXPECT_EQ(ReadFile(info + ".done"), line + "\n");
}

TEST_P(RecordSafetyTest, EngineFailingMidwayLeavesTheRecordWhole) {
  std::string b = addJobVolume("vg-b");
  ASSERT_FALSE(initialize(*m).IsError());
  ASSERT_FALSE(runJob({vol, b}).IsError());
  const std::string record = ReadFile(info);
  engine->inject(Call::IsMounted, 2, Fault::ThrowOther, "device vanished");
  EXPECT_THROW(m->UnMountSnap(), std::runtime_error);
  EXPECT_EQ(ReadFile(info), record);
  EXPECT_FALSE(FileExists(info + ".fail"));
  ASSERT_FALSE(m->UnMountSnap().IsError()) << "the next teardown finishes the work";
  EXPECT_TRUE(engine->snapshots().empty());
  const size_t split = record.find('\n') + 1;
  EXPECT_EQ(ReadFile(info), record.substr(0, split)) << "the entry removed before the failure is gone now";
  EXPECT_EQ(ReadFile(info + ".done"), record.substr(split));
}

TEST_P(RecordSafetyTest, SnapshotMadeByAFailedCreateStaysRecordedAndIsRolledBack) {
  ASSERT_FALSE(initialize(*m).IsError());
  // The command made the snapshot, then timed out.
  engine->inject(Call::CreateSnap, 1, Fault::Before, "", [&] { MakeNamedSnapshot(*engine, "testsnap-"); });
  engine->inject(Call::CreateSnap, 1, Fault::ThrowZr, "lvcreate timed out");
  EXPECT_EQ(runJob({vol}).Message(), "lvcreate timed out");
  EXPECT_EQ(log->matching("stays recorded in " + info + ": the engine reports it", ZR_LOG_ERROR).size(), 1u);
  EXPECT_TRUE(engine->snapshots().empty()) << "the rollback found it through its line";
}

TEST_P(RecordSafetyTest, MapLineThatCannotBeWrittenFailsTheJob) {
  ASSERT_FALSE(initialize(*m).IsError());
  std::filesystem::create_directories(map);  // no file can be written there
  CNeError e = runJob({vol});
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.Message().rfind("Cannot add the map line of " + vol + " to " + map + ": Is a directory", 0), 0u)
      << e.Message();
  EXPECT_TRUE(engine->snapshots().empty()) << "the job's snapshot is rolled back";
  EXPECT_EQ(ReadFile(info), "");
  EXPECT_TRUE(m->GetSourceToLocalMap().empty());
}

TEST_P(RecordSafetyTest, PublicCallsNeverWriteAnotherJobsRecord) {
  ASSERT_FALSE(initialize(*m).IsError());
  auto other = makeManager(GetParam());
  EXPECT_EQ(initialize(*other).Code(), EBUSY);
  std::list<SP<FlrSnapOS::LV>> volumes;
  other->getLVList(volumes);
  ASSERT_FALSE(volumes.empty());
  EXPECT_EQ(other->SnapAndMount(vol, volumes.front()).Code(), EBUSY);
  errno = 0;
  EXPECT_EQ(other->SaveSnapDevInfo("/src", "dev", "/mnt/x"), -2);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_FALSE(FileExists(info)) << "nothing was added to the record the first job holds";
  EXPECT_TRUE(engine->callsOf("createSnap").empty());
}

TEST_P(RecordSafetyTest, ForkedChildDoesNotKeepTheRecordLocked) {
  ASSERT_FALSE(initialize(*m).IsError());
  int gate[2], ready[2];
  ASSERT_EQ(::pipe(gate), 0);
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(gate[1]);
    char c = 'r';
    ssize_t n = ::write(ready[1], &c, 1);
    n += ::read(gate[0], &c, 1);  // outlives the job
    ::_exit(n < 0 ? 1 : 0);
  }
  ::close(gate[0]);
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  // Were the child to keep the description, the lock would outlive a killed job.
  for (auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
    std::error_code ec;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec).string(), info + ".lock");
  }
  ASSERT_FALSE(m->UnMountSnap().IsError());
  auto next = makeManager(GetParam());
  EXPECT_FALSE(initialize(*next).IsError()) << "the child of the ended job holds no lock";
  ::close(gate[1]);
  ::close(ready[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST_P(RecordSafetyTest, LockFileThatIsNotThisUsersOwnIsRefused) {
  struct Case {
    std::string name, text;
    int code;
    std::function<void(const std::string&)> plant;
  };
  const std::string victim = dir + "/victim";
  std::vector<Case> cases{{"hard link", "it has other names (a hard link)", EMLINK, [&](const std::string& lock) {
                             WriteFile(victim, "precious\n");
                             ASSERT_EQ(::link(victim.c_str(), lock.c_str()), 0);
                           }}};
  if (::geteuid() == 0) {
    cases.push_back({"other owner", "it belongs to another user", EPERM, [](const std::string& lock) {
                       WriteFile(lock, "");
                       ASSERT_EQ(::chown(lock.c_str(), 4242, 4242), 0);
                     }});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string lock = info + ".lock";
    ::unlink(lock.c_str());
    c.plant(lock);
    auto fresh = makeManager(GetParam());
    CNeError e = initialize(*fresh);
    EXPECT_EQ(e.Code(), c.code);
    EXPECT_NE(e.Message().find(c.text), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("rm " + lock), std::string::npos) << "it says what to do";
  }
  EXPECT_EQ(ReadFile(victim), "precious\n");
}

// A name another node took is that node's snapshot: when its line cannot be
// dropped, the job stops rather than try names, and nothing acts on the line.
TEST_P(RecordSafetyTest, TakenNameWhoseLineStaysStopsTheJob) {
  ASSERT_FALSE(initialize(*m).IsError());
  engine->inject(Call::CreateSnap, 1, Fault::Before, "", [&] {
    MakeNamedSnapshot(*engine, "testsnap-");
    std::filesystem::create_directories(info + ".tmp");  // the line cannot be dropped
  });
  CNeError e = runJob({vol});
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.Message().find("so no other name is tried"), std::string::npos) << e.Message();
  EXPECT_EQ(engine->callsOf("createSnap").size(), 1u);
  ASSERT_EQ(engine->snapshots().size(), 1u) << "the other node's snapshot survives the rollback";
  EXPECT_TRUE(engine->callsOf("deleteSnap").empty());
  EXPECT_EQ(ReadFile(info), "") << "the rollback drops the line without acting on it";
}
