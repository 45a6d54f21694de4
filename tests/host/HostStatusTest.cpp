// SPDX-License-Identifier: Apache-2.0
// zrsnap status as a script reads it: --json, and exit statuses 0 (nothing
// recorded), 1 (snapshots recorded) and 2 (status could not find out).
#include <gtest/gtest.h>
#include <sys/wait.h>

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
