// SPDX-License-Identifier: Apache-2.0
// zrsnap status as a script reads it: --json, and exit statuses 0 (nothing
// recorded), 1 (snapshots recorded) and 2 (status could not find out).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "HostSupport.h"

using host::ReadFile;
using host::WriteFile;
using nlohmann::json;
namespace fs = std::filesystem;

class HostStatusTest : public ::testing::Test, protected host::SimHost {
 protected:
  void SetUp() override {
    makeHost("native");
    fs::create_directories(top / "state");
  }
  void TearDown() override { removeHost(); }

  // Runs status --json; the document it printed, and its exit status in exitStatus.
  json status(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"status", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    last = zrsnap(args);
    return json::parse(last.out);
  }
  // The record file's lines, each split at its colons: source, device, mount folder.
  std::vector<std::vector<std::string>> recorded() {
    std::vector<std::vector<std::string>> out;
    std::stringstream lines(record());
    for (std::string line; std::getline(lines, line);) {
      size_t first = line.find(':'), second = line.find(':', first + 1);
      out.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return out;
  }

  zr::CommandResult last;
};

TEST_F(HostStatusTest, NothingRecordedIsExitStatusZero) {
  json doc = status();
  EXPECT_EQ(last.exitStatus, 0) << last.err;
  EXPECT_EQ(doc["record"], (top / "state/snap.info").string());
  EXPECT_EQ(doc["kind"], "native");
  EXPECT_EQ(doc["engine"], "sim (folder " + (top / "sim").string() + ")");
  EXPECT_TRUE(doc["job"].is_null());
  EXPECT_EQ(doc["entries"], json::array());
  EXPECT_EQ(doc["unrecorded"], json::array());
}

TEST_F(HostStatusTest, EachEntrySaysWhetherItsSnapshotExistsAndWhereItIsMounted) {
  ASSERT_EQ(zrsnap({"run", "-q", a.string(), b.string()}).exitStatus, 0);
  json doc = status();
  EXPECT_EQ(last.exitStatus, 1) << "the record names snapshots: " << last.err;
  auto lines = recorded();
  ASSERT_EQ(doc["entries"].size(), 2u) << doc.dump(2);
  ASSERT_EQ(lines.size(), 2u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const json& e = doc["entries"][i];
    EXPECT_EQ(e["valid"], true);
    EXPECT_EQ(e["source"], lines[i][0]);
    EXPECT_EQ(e["device"], lines[i][1]);
    EXPECT_EQ(e["mountDir"], lines[i][2]);
    EXPECT_EQ(e["exists"], true);
    EXPECT_EQ(e["mounted"], true);
    EXPECT_EQ(e["mountedOn"], json::array({lines[i][2]}));
    EXPECT_EQ(e["leftovers"], "");
  }
  EXPECT_EQ(doc["unrecorded"], json::array()) << "every snapshot is named";
}

TEST_F(HostStatusTest, EntriesWithoutASnapshotAndBrokenLinesStillCountAsRecorded) {
  WriteFile(top / "state/snap.info",
            a.string() + ":simvg-a@zrks_1:" + (top / "state/mnt/zrks_1").string() + "\nnot a record line\n");
  json doc = status();
  EXPECT_EQ(last.exitStatus, 1) << last.err;
  ASSERT_EQ(doc["entries"].size(), 2u) << doc.dump(2);
  EXPECT_EQ(doc["entries"][0]["exists"], false);
  EXPECT_EQ(doc["entries"][0]["mounted"], false);
  EXPECT_EQ(doc["entries"][0]["mountedOn"], json::array());
  EXPECT_EQ(doc["entries"][1], json({{"line", "not a record line"}, {"valid", false}}));
}

// Another record file may own them: they are reported, and left where they are.
TEST_F(HostStatusTest, SnapshotsThatTheRecordDoesNotNameAreReportedNotRemoved) {
  ASSERT_EQ(zrsnap({"run", "-q", a.string(), b.string()}).exitStatus, 0);
  auto lines = recorded();
  ASSERT_EQ(lines.size(), 2u);
  fs::create_directories(top / "other");
  json doc = status({"--record", (top / "other/snap.info").string()});
  EXPECT_EQ(last.exitStatus, 0) << "this record names nothing: " << last.err;
  EXPECT_EQ(doc["entries"], json::array());
  ASSERT_EQ(doc["unrecorded"].size(), 2u) << doc.dump(2);
  std::map<std::string, json> byDevice;
  for (auto& s : doc["unrecorded"]) byDevice[s["device"]] = s;
  for (auto& line : lines) {
    ASSERT_EQ(byDevice.count(line[1]), 1u) << line[1] << " in " << doc.dump(2);
    const json& s = byDevice[line[1]];
    EXPECT_EQ(s["name"], fs::path(line[2]).filename().string());
    EXPECT_EQ(s["origin"], line[0] == a.string() ? "simvg-a" : "simvg-b");
    EXPECT_EQ(s["mounted"], true);
    EXPECT_EQ(s["mountedOn"], json::array({line[2]}));
  }
  auto text = zrsnap({"status", "--record", (top / "other/snap.info").string()});
  EXPECT_EQ(host::Count(text.out, "not in this record"), 2u) << text.out;
  EXPECT_EQ(snapshots(), 2u);
  EXPECT_EQ(recorded(), lines) << "the owning record is untouched";
}

TEST_F(HostStatusTest, ARunningJobIsNamedByItsProcess) {
  const std::string script =
      "touch " + (top / "started").string() + "; while [ ! -e " + (top / "go").string() + " ]; do sleep 0.05; done";
  host::Background job(argv({"run", "-q", "--exec", script, a.string()}), {}, top / "out");
  ASSERT_TRUE(host::Eventually([&] { return fs::exists(top / "started"); })) << job.err();
  json doc = status();
  EXPECT_EQ(last.exitStatus, 1) << last.err;
  EXPECT_EQ(doc["job"], json({{"pid", job.pid()}})) << doc.dump(2);
  EXPECT_EQ(doc["entries"].size(), 1u);
  WriteFile(top / "go", "");
  int end = job.waitBounded();
  EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << job.err();
  EXPECT_TRUE(status()["job"].is_null());
  EXPECT_EQ(last.exitStatus, 0);
}

struct StatusErrorCase {
  const char* name;
  const char* record;    // relative to the host's folder
  const char* simState;  // written over the simulated engine's state when not null
  const char* message;   // the start of the reason, {TOP} for the host's folder
};
void PrintTo(const StatusErrorCase& c, std::ostream* os) { *os << c.name; }

class StatusErrorTest : public HostStatusTest, public ::testing::WithParamInterface<StatusErrorCase> {};

// 2 whatever failed, so that a script never takes a failure for "snapshots recorded".
TEST_P(StatusErrorTest, FailuresAreExitStatusTwoWithTheReason) {
  const StatusErrorCase& c = GetParam();
  if (c.simState) WriteFile(top / "sim/state.json", c.simState);
  json doc = status({"--record", (top / c.record).string()});
  std::string message = c.message;
  message.replace(message.find("{TOP}"), 5, top.string());
  EXPECT_EQ(last.exitStatus, 2) << last.out << last.err;
  EXPECT_EQ(doc["record"], (top / c.record).string());
  EXPECT_EQ(doc["error"].get<std::string>().rfind(message, 0), 0u) << doc.dump(2);
  EXPECT_NE(last.err.find("zrsnap: " + message), std::string::npos) << last.err;
  EXPECT_FALSE(doc.contains("entries"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusErrorTest,
    ::testing::Values(StatusErrorCase{"RecordIsAFolder", "state", nullptr, "the record file {TOP}/state is a folder"},
                      StatusErrorCase{"EngineStateUnreadable", "state/snap.info", "{not json",
                                      "Cannot read the simulated engine's state {TOP}/sim/state.json"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostStatusTest, HelpSaysWhatTheExitStatusesMean) {
  auto help = zrsnap({"status", "--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("  --json "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("Exit status: 0 the record file names nothing; 1 it names snapshots"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("2 status could not find out"), std::string::npos) << help.out;
}

// An entry whose snapshot the engine cannot rule out is unknown, never gone:
// status says so with the reason, and a clean-up keeps it.
TEST_F(HostStatusTest, UnknownEntriesAreShownAndKept) {
  const std::string gone = a.string() + ":simvg-a@zrks_1:" + (top / "state/mnt/zrks_1").string();
  const std::string unknown = "/x:simvg-x@zrks_2:" + (top / "state/mnt/zrks_2").string();
  WriteFile(top / "state/snap.info", gone + "\n" + unknown + "\n");
  json doc = status();
  EXPECT_EQ(last.exitStatus, 1) << last.err;
  ASSERT_EQ(doc["entries"].size(), 2u) << doc.dump(2);
  EXPECT_EQ(doc["entries"][0]["state"], "gone");
  EXPECT_EQ(doc["entries"][1]["state"], "unknown");
  EXPECT_EQ(doc["entries"][1]["reason"], "no simulated volume simvg-x is registered in " + (top / "sim").string());
  auto text = zrsnap({"status"});
  EXPECT_NE(text.out.find("unknown (no simulated volume simvg-x"), std::string::npos) << text.out;

  auto cleanup = zrsnap({"cleanup"});
  EXPECT_EQ(cleanup.exitStatus, 1) << cleanup.out << cleanup.err;
  EXPECT_NE(cleanup.out.find("1 of them unknown"), std::string::npos) << cleanup.out;
  EXPECT_EQ(record(), unknown + "\n");
}

// The record is read as the plug-in reads it: a FIFO or a link under its name
// is refused at once, never waited on or followed.
TEST_F(HostStatusTest, RecordThatIsNoRegularFileIsRefused) {
  const fs::path recordPath = top / "state/snap.info";
  WriteFile(top / "other", a.string() + ":simvg-a@zrks_9:/m\n");
  for (auto plant : std::vector<std::function<void()>>{
           [&] { ASSERT_EQ(::mkfifo(recordPath.c_str(), 0600), 0); },
           [&] { fs::create_symlink(top / "other", recordPath); },
       }) {
    fs::remove(recordPath);
    plant();
    for (auto command : {"status", "cleanup"}) {
      auto r = zrsnap({command});
      EXPECT_FALSE(r.timedOut) << command;
      EXPECT_NE(r.exitStatus, 0) << command;
      EXPECT_EQ(r.out.find("zrks_9"), std::string::npos) << command << ": another file's lines: " << r.out;
    }
  }
  EXPECT_EQ(ReadFile(top / "other"), a.string() + ":simvg-a@zrks_9:/m\n");
}

// A node without LVM (a GPFS-only one) cleans up its empty record at boot.
TEST_F(HostStatusTest, EmptyRecordNeedsNoEngine) {
  WriteFile(top / "agent.ini", "[SnapOS]\nsEngine=lvm\n[LVM]\nsLvmPath=" + (top / "no-lvm").string() + "\n");
  WriteFile(top / "state/snap.info", "");
  auto r = host::Zrsnap({"cleanup", "--state-dir", (top / "state").string()},
                        {{"ZRSNAP_CONFIG", (top / "agent.ini").string()}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
}

// A process left in a snapshot (as after zrsnap and its watchdog were killed)
// makes its unmount fail with EBUSY: status names it beforehand, the clean-up
// names it, keeps the entry and retries nothing lazily; once it is gone the
// clean-up succeeds.
TEST_F(HostStatusTest, ABusySnapshotNamesItsHoldersAndStaysRecorded) {
  ASSERT_EQ(zrsnap({"run", "-q", a.string()}).exitStatus, 0);
  const std::string mountDir = recorded().at(0).at(2);
  pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    if (::chdir(mountDir.c_str()) == 0) ::execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  struct Reaped {
    pid_t pid;
    ~Reaped() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reaped{holder};  // on every way out of the test
  const std::string named = "pid " + std::to_string(holder) + " (sleep 300): cwd";
  ASSERT_TRUE(host::Eventually([&] {
    return ReadFile("/proc/" + std::to_string(holder) + "/cmdline") == std::string(
                                                                           "sleep\0"
                                                                           "300",
                                                                           10);
  }));

  json shown = status();
  ASSERT_EQ(shown["entries"].size(), 1u) << last.out;
  ASSERT_EQ(shown["entries"][0]["holders"].size(), 1u) << last.out;
  EXPECT_EQ(shown["entries"][0]["holders"][0], (json{{"pid", holder}, {"command", "sleep 300"}, {"how", {"cwd"}}}));
  EXPECT_NE(zrsnap({"status"}).out.find("held by " + named + "\n"), std::string::npos);

  auto busy = zrsnap({"cleanup"});
  EXPECT_EQ(busy.exitStatus, 1) << busy.out << busy.err;
  EXPECT_NE(busy.err.find("Cannot unmount " + mountDir + ": Device or resource busy; tried 5 times; held by " + named),
            std::string::npos)
      << busy.err;
  EXPECT_EQ(recorded().size(), 1u) << "the entry stays for the next clean-up";
  EXPECT_TRUE(fs::exists(fs::path(mountDir) / "sub/a.txt")) << "nothing was emptied under the holder";

  ::kill(holder, SIGKILL);
  EXPECT_TRUE(host::Eventually([&] { return host::ProcessGone(holder); }));
  auto freed = zrsnap({"cleanup"});
  EXPECT_EQ(freed.exitStatus, 0) << freed.out << freed.err;
  EXPECT_EQ(snapshots(), 0u);
}
