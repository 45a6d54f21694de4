// SPDX-License-Identifier: Apache-2.0
// The reference host as an administrator meets it: configuration mistakes,
// hints that work when followed, the log file, paths, simulated volumes,
// messages at the default verbosity, exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "HostSupport.h"

using host::Count;
using host::Environment;
using host::ReadFile;
using host::WriteFile;
namespace fs = std::filesystem;

class HostAdminTest : public ::testing::Test, protected host::SimHost {
 protected:
  // The cells of a Markdown table row, trimmed; none for another line.
  static std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    if (line.size() < 2 || line.front() != '|' || line.back() != '|') return cells;
    std::stringstream row(line.substr(1, line.size() - 2));
    for (std::string cell; std::getline(row, cell, '|');) {
      size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
  }
  void SetUp() override { makeHost("native"); }
  void TearDown() override { removeHost(); }

  Environment config(const std::string& text) {
    WriteFile(top / "agent.ini", text);
    return {{"ZRSNAP_CONFIG", (top / "agent.ini").string()}};
  }
  // The command line that zrsnap's last message offers after "remove them with: ".
  static std::string Hint(const std::string& err) {
    size_t at = err.find("remove them with: ");
    if (at == std::string::npos) return "";
    at += std::string("remove them with: ").size();
    return err.substr(at, err.find('\n', at) - at);
  }
};

struct ConfigCase {
  const char* name;
  const char* text;  // nullptr: ZRSNAP_CONFIG names a file that does not exist
  int exitStatus;
  const char* message;  // after "zrsnap: configuration file <path>"
};
void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigurationTest : public HostAdminTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigurationTest, MistakesAreNamedOnceAndErrorsStopBeforeAnything) {
  const ConfigCase& c = GetParam();
  Environment env = c.text ? config(c.text) : Environment{{"ZRSNAP_CONFIG", (top / "none.ini").string()}};
  const std::string file = env[0].second;
  auto run = zrsnap({"run", a.string()}, env);
  EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
  EXPECT_EQ(Count(run.err, "zrsnap: configuration file " + file + c.message + "\n"), 1u) << run.err;
  EXPECT_EQ(Count(run.err, "configuration file " + file), 1u) << "said once, by zrsnap: " << run.err;
  if (c.exitStatus == 2) {
    EXPECT_FALSE(fs::exists(top / "state")) << "nothing is done";
    EXPECT_EQ(snapshots(), 0u);
  } else {
    EXPECT_EQ(snapshots(), 1u) << "a warning does not stop the job";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationTest,
    ::testing::Values(
        ConfigCase{"NamedButMissing", nullptr, 2, " (named by ZRSNAP_CONFIG) does not exist"},
        ConfigCase{"Unparsable", "[TLM]\nnSnapCowSizeMB=1\n[SnapOS\n", 2, ", line 3: unmatched '['"},
        ConfigCase{"DuplicateKey", "[LVM]\nsLvmPath=/a\nsLvmPath=/b\n", 2, ", line 3: duplicate key name"},
        ConfigCase{"Word", "[TLM]\nnSnapCowSizeMB=lots\n", 2,
                   ": [TLM] nSnapCowSizeMB = \"lots\" is not a number (decimal digits only, no sign)"},
        ConfigCase{"Negative", "[FileSystemAgent]\nnSnapCowSizeMB=-5\n", 2,
                   ": [FileSystemAgent] nSnapCowSizeMB = \"-5\" is not a number (decimal digits only, no sign)"},
        ConfigCase{"TooLarge", "[GPFS]\nnTimeoutSeconds=99999999999999999999999\n", 2,
                   ": [GPFS] nTimeoutSeconds = \"99999999999999999999999\" is not a number (decimal digits only, "
                   "no sign)"},
        ConfigCase{"PastThirtyTwoBits", "[LVM]\nnTimeoutSeconds=4294967296\n", 2,
                   ": [LVM] nTimeoutSeconds = \"4294967296\" is out of range (0 to 4294967295)"},
        ConfigCase{"SectionInWrongCase", "[snapos]\nsengine=sim\nsGpfsEngine=sim\n", 0,
                   ": unknown section [snapos] is ignored (names are case-sensitive: did you mean SnapOS?)"},
        ConfigCase{"KeyInWrongCase", "[SnapOS]\nsengine=sim\n", 0,
                   ": unknown key sengine in [SnapOS] is ignored (names are case-sensitive: did you mean sEngine?)"},
        ConfigCase{"KeyOutsideSections", "nSnapCowSizeMB=512\n", 0,
                   ": key nSnapCowSizeMB outside any section is ignored"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file that root reads or runs, writable by others, would let them run anything as root.
struct UntrustedCase {
  const char* name;
  const char* key;  // names top/<file>, made group- or world-writable
  const char* file;
  fs::perms mode;
  const char* what;  // how the refusal starts
};
void PrintTo(const UntrustedCase& c, std::ostream* os) { *os << c.name; }

class UntrustedPathTest : public HostAdminTest, public ::testing::WithParamInterface<UntrustedCase> {};

TEST_P(UntrustedPathTest, IsRefusedBeforeAnything) {
  const UntrustedCase& c = GetParam();
  const fs::path file = top / c.file;
  WriteFile(file, "#!/bin/sh\nexit 0\n");
  Environment env = config(std::string(c.key) + file.string() + "\n");
  const std::string configFile = env[0].second;
  fs::permissions(c.file == std::string("agent.ini") ? fs::path(configFile) : file, c.mode);
  auto run = zrsnap({"run", a.string()}, env);
  EXPECT_EQ(run.exitStatus, 2) << run.err;
  std::string refused =
      c.file == std::string("agent.ini") ? "configuration file " + configFile : c.what + file.string();
  EXPECT_EQ(run.err.rfind("zrsnap: " + refused + " is refused: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find((c.mode & fs::perms::others_write) != fs::perms::none ? "can be written by any user"
                                                                               : "can be written by its group"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(top / "state")) << "nothing is done";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UntrustedPathTest,
    ::testing::Values(UntrustedCase{"ConfigurationFile", "[SnapOS]\nsEngine=sim\n# ", "agent.ini", fs::perms(0646), ""},
                      UntrustedCase{"LvmBinary", "[LVM]\nsLvmPath=", "lvm", fs::perms(0775), "[LVM] sLvmPath "},
                      UntrustedCase{"GpfsCommandFolder", "[GPFS]\nsCommandDir=", "mm", fs::perms(0777),
                                    "[GPFS] sCommandDir "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostAdminTest, EveryKeyThatReadmeDocumentsIsKnown) {
  std::ifstream readme(README_PATH);
  std::string text, line;
  std::map<std::string, std::string> sections;
  size_t keys = 0;
  for (bool inTable = false; std::getline(readme, line);) {
    if (line == "### Configuration") inTable = true;
    if (inTable && line.rfind("## ", 0) == 0) break;
    std::vector<std::string> cells = Cells(line);
    if (!inTable || cells.size() != 4 || cells[0] == "Section" || cells[0].find('-') != std::string::npos) continue;
    sections[cells[0]] += cells[1] + "=" + (cells[1][0] == 'n' ? "1" : "x") + "\n";
    ++keys;
  }
  for (auto& section : sections) text += "[" + section.first + "]\n" + section.second;
  ASSERT_GE(keys, 10u) << "the README's configuration table was not found";
  auto status = host::Zrsnap({"sim", "list", "--sim-dir", (top / "sim").string()}, config(text));
  EXPECT_EQ(status.exitStatus, 0) << status.err;
  EXPECT_EQ(status.err.find("configuration file"), std::string::npos) << text << status.err;
}

// The installed agent.ini lists every key at its default, commented out, and agent.ini(5) names each.
TEST_F(HostAdminTest, ShippedConfigurationListsEveryKeyCommentedOut) {
  std::ifstream shipped(std::string(PACKAGING_DIR) + "/agent.ini");
  const std::string page = ReadFile(std::string(PACKAGING_DIR) + "/agent.ini.5");
  std::string section, uncommented, line;
  size_t keys = 0;
  while (std::getline(shipped, line)) {
    if (line.rfind("[", 0) == 0) section = line;
    if (line.rfind("[", 0) == 0 || line.rfind("# n", 0) == 0 || line.rfind("# s", 0) == 0) {
      uncommented += line.substr(line[0] == '#' ? 2 : 0) + "\n";
    }
    if (line.rfind("# n", 0) != 0 && line.rfind("# s", 0) != 0) continue;
    const std::string key = line.substr(2, line.find('=') - 2);
    ++keys;
    EXPECT_NE(page.find("] \" " + key), std::string::npos) << key << " of " << section << " is not in agent.ini(5)";
  }
  EXPECT_GE(keys, 10u);
  // Uncommented (but for the size that has no default), the file is accepted without a word.
  std::string text;
  for (std::istringstream in(uncommented); std::getline(in, line);) {
    if (line.back() != '=') text += line + "\n";
  }
  WriteFile(top / "defaults.ini", text);
  auto run = zrsnap({"run", "--engine", "sim", a.string()}, {{"ZRSNAP_CONFIG", (top / "defaults.ini").string()}});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err.find("configuration file"), std::string::npos) << text << run.err;
}

// Relative job paths, a named configuration and the simulated engine: the hint,
// followed from another folder, reaches the same snapshots.
TEST_F(HostAdminTest, HintFollowedFromAnotherFolderCleansUpTheSameJob) {
  fs::create_directories(top / "work/rec");
  Environment env = config("[SimEngine]\nsStateDir=" + (top / "sim").string() + "\n");
  env[0].second = "../agent.ini";
  auto run = host::Zrsnap({"run", "--engine", "sim", "--state-dir", "st", "--record", "rec/snap.info", "--map",
                           "snap.map", "--mount-root", "m", "../vol/simvg-a/sub"},
                          env, (top / "work").string());
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFile(top / "work/rec/snap.info").rfind(a.string() + ":simvg-a@zrks_", 0), 0u);
  EXPECT_NE(ReadFile(top / "work/rec/snap.info").find(":" + (top / "work/m/zrks_").string()), std::string::npos)
      << "the mount directory is recorded absolute";
  const std::string hint = Hint(run.err);
  EXPECT_NE(hint.find("ZRSNAP_CONFIG=" + (top / "agent.ini").string()), std::string::npos) << hint;

  zr::CommandOptions options;
  options.timeoutSeconds = 60;
  auto status = zr::RunCommand(
      {"/bin/sh", "-c", "cd / && " + std::string(hint).replace(hint.find(" cleanup"), 8, " status")}, options);
  EXPECT_NE(status.out.find("engine        sim (folder " + (top / "sim").string() + ")\n"), std::string::npos)
      << status.out << status.err;
  EXPECT_NE(status.out.find("configuration " + (top / "agent.ini").string() + "\n"), std::string::npos);
  auto cleanup = zr::RunCommand({"/bin/sh", "-c", "cd / && " + hint}, options);
  EXPECT_EQ(cleanup.exitStatus, 0) << hint << "\n" << cleanup.out << cleanup.err;
  EXPECT_NE(cleanup.out.find("1 snapshot(s) removed, 0 entries without a snapshot dropped, 0 remain"),
            std::string::npos)
      << cleanup.out;
  EXPECT_EQ(snapshots(), 0u);
}

TEST_F(HostAdminTest, ZrsnapsOwnMessagesAreInTheLogFileToo) {
  sim->setActive("simvg-b", false);
  const fs::path log = top / "job.log";
  auto run = zrsnap({"run", "--log", log.string(), a.string(), b.string()}, config("[snapos]\n"));
  EXPECT_EQ(run.exitStatus, 1);
  const std::string logged = ReadFile(log);
  for (std::string message :
       {"zrsnap: configuration file " + (top / "agent.ini").string() + ": unknown section [snapos] is ignored",
        std::string("zrsnap: snapshot failed: Cannot snapshot simvg-b: the volume is not active")}) {
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_NE(logged.find(message), std::string::npos) << logged;
  }
  EXPECT_NE(logged.find("Snap created for " + a.string()), std::string::npos) << "the plug-in's lines stay";
}

TEST_F(HostAdminTest, SimVolumesAreManagedWithoutEditingTheState) {
  const std::string simDir = (top / "sim2").string();
  fs::create_directories(top / "vol/home/alice");
  auto list = [&] { return host::Zrsnap({"sim", "list", "--sim-dir", simDir}).out; };
  EXPECT_NE(list().find("(none: zrsnap sim add NAME DIR registers one)"), std::string::npos);

  auto add = host::Zrsnap({"sim", "add", "home", "vol/home", "--sim-dir", simDir}, {}, top.string());
  EXPECT_EQ(add.exitStatus, 0) << add.err;
  EXPECT_NE(list().find("home" + std::string(17, ' ') + (top / "vol/home").string() + "  active, 0 snapshot(s)"),
            std::string::npos)
      << list();
  auto run = host::Zrsnap(
      {"run", "--sim-dir", simDir, "--state-dir", (top / "st").string(), (top / "vol/home/alice").string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(list().find("active, 1 snapshot(s)"), std::string::npos);

  struct Refusal {
    std::vector<std::string> words;
    int exitStatus;
    std::string message;
  };
  for (const Refusal& r : std::vector<Refusal>{
           {{"add", "home", (top / "vol").string()}, 1, "is registered as home"},
           {{"remove", "home"}, 1, "Cannot remove volume home: its snapshots zrks_"},
           {{"remove", "nothing"}, 1, "Cannot remove volume nothing: no simulated volume is called so"},
           {{"add", "x"}, 2, "zrsnap: usage: zrsnap sim add NAME DIR\n"},
           {{"frob"}, 2, "zrsnap: sim needs add NAME DIR, remove NAME or list"}}) {
    std::vector<std::string> args{"sim"};
    args.insert(args.end(), r.words.begin(), r.words.end());
    args.insert(args.end(), {"--sim-dir", simDir});
    auto refused = host::Zrsnap(args);
    EXPECT_EQ(refused.exitStatus, r.exitStatus) << r.words[0] << ": " << refused.err;
    EXPECT_NE(refused.err.find(r.message), std::string::npos) << refused.err;
  }
  EXPECT_EQ(host::Zrsnap({"cleanup", "--sim-dir", simDir, "--state-dir", (top / "st").string()}).exitStatus, 0);
  auto removed = host::Zrsnap({"sim", "remove", "home", "--sim-dir", simDir});
  EXPECT_EQ(removed.exitStatus, 0) << removed.err;
  EXPECT_NE(list().find("(none"), std::string::npos);
}

TEST_F(HostAdminTest, JobOnAPathOnNoSimulatedVolumeSaysSo) {
  fs::create_directories(top / "elsewhere");
  auto run = zrsnap({"run", a.string(), (top / "elsewhere").string()});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(
      run.err.find("zrsnap: " + (top / "elsewhere").string() + " is on no volume of the simulated engine (folder " +
                   (top / "sim").string() + "); register a folder that holds it with: "),
      std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(" sim add NAME DIR --sim-dir " + (top / "sim").string() + "\n"), std::string::npos);
  EXPECT_EQ(Count(run.err, "is on no volume"), 1u) << a << " is on one";
}

struct SaySoCase {
  const char* name;
  std::vector<std::string> args;  // {RECORD} stands for a path in the folder, {FOLDER} for the folder
  int exitStatus;
  const char* message;
};
void PrintTo(const SaySoCase& c, std::ostream* os) { *os << c.name; }

class SaySoTest : public HostAdminTest, public ::testing::WithParamInterface<SaySoCase> {};

TEST_P(SaySoTest, PlainMessageAtTheDefaultVerbosity) {
  std::vector<std::string> args;
  for (std::string arg : GetParam().args) {
    if (arg == "{MISSING}") arg = (top / "missing/snap.info").string();
    if (arg == "{FOLDER}") arg = top.string();
    args.push_back(arg);
  }
  auto result = zrsnap(args);
  EXPECT_EQ(result.exitStatus, GetParam().exitStatus) << result.out << result.err;
  std::string message = GetParam().message;
  for (size_t at = message.find("{TOP}"); at != std::string::npos; at = message.find("{TOP}")) {
    message.replace(at, 5, top.string());
  }
  EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaySoTest,
    ::testing::Values(
        SaySoCase{
            "StatusOnAFolder", {"status", "--record", "{FOLDER}"}, 2, "zrsnap: the record file {TOP} is a folder\n"},
        SaySoCase{"StatusInAMissingFolder",
                  {"status", "--record", "{MISSING}"},
                  2,
                  "zrsnap: the folder of the record file, {TOP}/missing, does not exist\n"},
        SaySoCase{"CleanupInAMissingFolder",
                  {"cleanup", "--record", "{MISSING}"},
                  0,
                  "zrsnap: the folder of the record file, {TOP}/missing, does not exist: nothing is recorded "
                  "there, nothing was removed\n"},
        SaySoCase{"DataClassificationMissing",
                  {"run", "--dc", "/nonexistent"},
                  1,
                  "Could not load DataClassification library. DataClassification will not be used."},
        SaySoCase{"LoadersReasonInDetail",
                  {"run", "-v", "--dc", "/nonexistent"},
                  1,
                  "Cannot load library libudcclient.so: libudcclient.so: cannot open shared object file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostAdminTest, RunSaysWhatItRemovedOfAnEarlierJob) {
  ASSERT_EQ(zrsnap({"run", a.string(), b.string()}).exitStatus, 0);
  std::ofstream(top / "state/snap.info", std::ios::app) << a.string() << ":simvg-a@zrks_1:/gone\n";
  auto run = zrsnap({"run", a.string()});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find("zrsnap: " + (top / "state/snap.info").string() +
                         " named 3 entries of an earlier job: 2 snapshot(s) removed, 1 without a snapshot dropped, 0 "
                         "still recorded\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(snapshots(), 1u);
}

struct ExitCase {
  const char* name;
  const char* command;
  int exitStatus;
  const char* message;  // "" when the backup command succeeded
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class ExitStatusTest : public HostAdminTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitStatusTest, BackupCommandsEndIsTheExitStatus) {
  auto run = zrsnap({"run", "--exec", GetParam().command, a.string()});
  EXPECT_EQ(run.signal, 0) << "zrsnap itself ends normally";
  EXPECT_EQ(run.exitStatus, GetParam().exitStatus) << run.err;
  if (*GetParam().message) {
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  }
  EXPECT_EQ(snapshots(), 0u) << "torn down in every case";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExitStatusTest,
    ::testing::Values(ExitCase{"Success", "true", 0, ""},
                      ExitCase{"Failure", "exit 3", 3, "zrsnap: the backup command exited with status 3\n"},
                      ExitCase{"Terminated", "kill -TERM $$", 128 + SIGTERM,
                               "zrsnap: the backup command was killed by signal 15 (Terminated)\n"},
                      ExitCase{"Killed", "kill -KILL $$", 128 + SIGKILL,
                               "zrsnap: the backup command was killed by signal 9 (Killed)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostAdminTest, VersionHelpAndExitStatusesAreDocumented) {
  auto version = host::Zrsnap({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  ASSERT_EQ(version.out.rfind("zrsnap ", 0), 0u) << version.out;
  version.out.erase(0, std::string("zrsnap ").size());
  unsigned n[10];
  char end = 0;
  EXPECT_EQ(std::sscanf(version.out.c_str(), "%u.%u.%u.%u %2u/%2u/%2u %2u:%2u:%2u%c", &n[0], &n[1], &n[2], &n[3], &n[4],
                        &n[5], &n[6], &n[7], &n[8], &n[9], &end),
            11)
      << version.out;
  EXPECT_EQ(end, '\n');
  EXPECT_EQ(version.out.find('\n'), version.out.size() - 1) << "one line: " << version.out;
  EXPECT_NE(ReadFile(PLUGIN_PATH).find(version.out), std::string::npos) << "the plug-in's ZrVersion line";

  auto help = host::Zrsnap({"--help"});
  EXPECT_NE(help.out.find("Exit status: 0 success; 1 the job, the backup command or the teardown failed;\n"
                          "2 usage or configuration error; 128+N when signal N ended zrsnap or the backup command.\n"),
            std::string::npos)
      << help.out;
  for (std::string command : {"run", "cleanup", "status", "sim", "demo"}) {
    auto byWord = host::Zrsnap({"help", command});
    EXPECT_EQ(byWord.exitStatus, 0);
    EXPECT_EQ(byWord.out, host::Zrsnap({command, "--help"}).out);
    EXPECT_EQ(byWord.out.rfind("usage: zrsnap " + command, 0), 0u) << byWord.out;
  }
  auto bare = host::Zrsnap({});
  EXPECT_EQ(bare.exitStatus, 2);
  EXPECT_EQ(bare.err.rfind("usage: zrsnap COMMAND", 0), 0u);
}

// What a command would otherwise ignore is refused before anything is touched.
struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  std::string err;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedCommandLineTest : public HostAdminTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedCommandLineTest, ExitsTwoSayingWhyAndTouchesNothing) {
  auto result = host::Zrsnap(GetParam().args, {}, top.string());
  EXPECT_EQ(result.exitStatus, 2) << result.out << result.err;
  EXPECT_EQ(result.err, "zrsnap: " + GetParam().err + "\n");
  EXPECT_FALSE(fs::exists(top / "st")) << "nothing made";
  EXPECT_EQ(snapshots(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCommandLineTest,
    ::testing::Values(
        RefusedCase{"CleanupStrayWord",
                    {"cleanup", "FILE", "--state-dir", "st"},
                    "zrsnap cleanup does not take FILE (try zrsnap help cleanup)"},
        RefusedCase{
            "StatusStrayWords", {"status", "a", "b"}, "zrsnap status does not take a b (try zrsnap help status)"},
        RefusedCase{
            "SimTooManyWords", {"sim", "add", "n", "d", "x"}, "zrsnap sim does not take x (try zrsnap help sim)"},
        RefusedCase{
            "CleanupJson", {"cleanup", "--json"}, "--json does not apply to zrsnap cleanup (try zrsnap help cleanup)"},
        RefusedCase{"StatusExec",
                    {"status", "--exec", "true"},
                    "--exec does not apply to zrsnap status (try zrsnap help status)"},
        RefusedCase{
            "DemoRecord", {"demo", "--record", "r"}, "--record does not apply to zrsnap demo (try zrsnap help demo)"},
        RefusedCase{"VerboseAndQuiet", {"run", "-v", "-q", "/"}, "-v and -q contradict each other: give one"},
        RefusedCase{
            "HelpOnNothing", {"help", "bogus"}, "no help on bogus: there is no such command (try zrsnap --help)"},
        RefusedCase{"UnknownCommand", {"bogus"}, "unknown command bogus (try zrsnap --help)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostAdminTest, RunWithJsonAndExecPrintsTheMapItHandsTheCommand) {
  auto run =
      zrsnap({"run", "--json", "--exec", "printf %s \"$ZRSNAP_MAP_JSON\" >map.json", a.string()}, {}, top.string());
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  auto printed = nlohmann::json::parse(run.out);
  EXPECT_EQ(printed.size(), 1u) << run.out;
  EXPECT_EQ(printed, nlohmann::json::parse(ReadFile(top / "map.json")));
}

TEST_F(HostAdminTest, LogFileIsPrivateAndNeverOpenedThroughALink) {
  auto run = zrsnap({"run", "--log", (top / "job.log").string(), "--exec", "true", a.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(fs::status(top / "job.log").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  WriteFile(top / "target", "");
  fs::create_symlink(top / "target", top / "link.log");
  auto linked = zrsnap({"run", "--log", (top / "link.log").string(), a.string()});
  EXPECT_EQ(linked.exitStatus, 2);
  EXPECT_NE(linked.err.find("Cannot open log file " + (top / "link.log").string()), std::string::npos) << linked.err;
  EXPECT_EQ(ReadFile(top / "target"), "") << "nothing written through the link";
  EXPECT_EQ(snapshots(), 0u);
}

TEST_F(HostAdminTest, AllowLiveWithoutExecIsAUsageError) {
  auto run = zrsnap({"run", "--allow-live", a.string()});
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.err, "zrsnap: --allow-live goes with --exec\n");
  EXPECT_EQ(snapshots(), 0u);
}

TEST_F(HostAdminTest, FoldersZrsnapMakesArePrivate) {
  auto run = zrsnap({"run", a.string()});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  for (auto dir : {top / "state", top / "state/mnt"}) {
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all) << dir;
  }
  EXPECT_EQ(run.err.find("can be entered by other users"), std::string::npos) << run.err;
}

// From cron: -q says nothing when the job succeeds and everything it held back
// when it fails; at the default verbosity a job that succeeds shows no ERROR.
TEST_F(HostAdminTest, QuietRunIsQuietAndSuccessShowsNoError) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    std::vector<std::string> present, absent;  // in stderr
  };
  const std::string outside = (top / "outside").string();
  fs::create_directories(outside);
  for (const Case& c : std::vector<Case>{
           {"quiet success", {"run", "-q", a.string()}, 0, {}, {"zrsnap", "INFO", "ERROR"}},
           {"quiet failure",
            {"run", "-q", a.string(), outside},
            1,
            {"INFO  LV Dev Name: 'simvg-a', SourceVolume " + a.string(), "is on no volume of the simulated engine"},
            {}},
           {"default success", {"run", a.string()}, 0, {"INFO  LV Dev Name: 'simvg-a'"}, {"ERROR"}},
           {"demo", {"demo"}, 0, {}, {"ERROR"}},
       }) {
    SCOPED_TRACE(c.name);
    auto r = c.args[0] == "demo" ? host::Zrsnap(c.args) : zrsnap(c.args);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
    for (auto& text : c.present) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
    for (auto& text : c.absent) EXPECT_EQ(r.err.find(text), std::string::npos) << text << "\n" << r.err;
  }
}
