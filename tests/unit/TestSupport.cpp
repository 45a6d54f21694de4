// SPDX-License-Identifier: Apache-2.0
#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace test {
void CapturingLogWriter::Write(int level, const char* function, int, int, int, const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  lines.push_back(LogLine{level, function, buffer, format});
  for (auto& t : m_triggers) {
    if (std::string(buffer).find(t.text) != std::string::npos && ++t.seen == t.nth) t.action();
  }
}

void CapturingLogWriter::onText(const std::string& text, int nth, std::function<void()> action) {
  m_triggers.push_back(Trigger{text, nth, 0, std::move(action)});
}

std::vector<LogLine> CapturingLogWriter::matching(const std::string& text) const {
  std::vector<LogLine> out;
  for (auto& l : lines) {
    if (l.text.find(text) != std::string::npos) out.push_back(l);
  }
  return out;
}

std::vector<LogLine> CapturingLogWriter::matching(const std::string& text, int level) const {
  std::vector<LogLine> out;
  for (auto& l : matching(text)) {
    if (l.level == level) out.push_back(l);
  }
  return out;
}

std::vector<FlrSnapOS::RecordedSnap> ExpectAnswers(FlrSnapOS::Engine& engine, FlrSnapOS::FLR_SNAP_ENG slot,
                                                   const std::vector<PresenceCase>& cases) {
  std::vector<std::string> specials;
  for (auto& c : cases) specials.push_back(c.special);
  auto found = engine.findRecorded(slot, specials);
  EXPECT_EQ(found.size(), cases.size());
  for (size_t i = 0; i < cases.size() && i < found.size(); ++i) {
    EXPECT_EQ(found[i].presence, cases[i].presence) << cases[i].special;
    EXPECT_EQ(found[i].reason.substr(0, cases[i].reason.size()), cases[i].reason) << cases[i].special;
  }
  return found;
}

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zrsnap-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  char resolved[PATH_MAX];
  return ::realpath(made, resolved);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::trunc) << text; }

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void EngineTest::SetUp() {
  dir = MakeTempDir();
  info = dir + "/snap.info";
  map = dir + "/snap.map";
  mountRoot = dir + "/mnt";
  ::mkdir(mountRoot.c_str(), 0700);
  ::setenv("ZRSNAP_CONFIG", (dir + "/agent.ini").c_str(), 1);
  engine = std::make_shared<FlrSnapOS::TestEngine>();
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, engine);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, engine);
  log = boost::make_shared<CapturingLogWriter>(ZR_LOG_DETAIL);
  g_ptrLogWriter = log;
}

void EngineTest::TearDown() {
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, nullptr);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, nullptr);
  g_ptrLogWriter.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string EngineTest::addVolume(const std::string& device, bool gpfs) {
  std::string path = dir + "/vol/" + device;
  std::filesystem::create_directories(path);
  if (gpfs) {
    engine->addGpfsFileSystem(device, path);
  } else {
    engine->addVolume(device, path);
  }
  return path;
}

void EngineTest::writeConfig(const std::string& ini) { WriteFile(dir + "/agent.ini", ini); }

std::unique_ptr<CKestrelNativeSnapManagerPrivate> EngineTest::makeManager(const std::string& kind) {
  auto* m = dynamic_cast<CKestrelNativeSnapManagerPrivate*>(GetNativeSnapManager(kind));
  return std::unique_ptr<CKestrelNativeSnapManagerPrivate>(m);
}

CNeError EngineTest::initialize(CKestrelNativeSnapManagerPrivate& m, bool useDC) {
  return m.Initialize(useDC, info, map, mountRoot);
}
}  // namespace test

#include "KindTest.h"

namespace test {
void KindTest::SetUp() {
  EngineTest::SetUp();
  m = makeManager(GetParam());
}

CNeError KindTest::runJob(const std::list<std::string>& contents) {
  std::list<std::string> copy = contents;
  return m->CreateAndMountSnap(copy);
}

std::vector<std::string> KindTest::snapshotNames() const {
  std::vector<std::string> out;
  for (auto& s : engine->snapshots()) out.push_back(s.name);
  return out;
}

std::string KindName(const ::testing::TestParamInfo<std::string>& info) { return info.param; }
}  // namespace test
