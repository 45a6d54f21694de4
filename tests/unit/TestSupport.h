// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GpfsSnapManagerPrivate.h"
#include "Kestrel/KestrelNativeSnapManagerPrivate.h"
#include "TestEngine.h"
#include "zr/LogWriter.h"

namespace test {
struct LogLine {
  int level;
  std::string function;
  std::string text;
  std::string format;  // as the writer received it: agents' writers may key on it
};

// Keeps every line written, and can run a callback (a simulated crash, for
// example) when a line containing a given text is written.
class CapturingLogWriter : public CLogWriterInterface {
 public:
  explicit CapturingLogWriter(int level) : m_level(level) {}
  void Write(int level, const char* function, int line, int, int, const char* format, ...) override
      __attribute__((format(printf, 7, 8)));
  int GetLevel() override {
    ++levelQueries;
    return m_level;
  }
  void setLevel(int level) { m_level = level; }
  void onText(const std::string& text, int nth, std::function<void()> action);

  std::vector<LogLine> lines;
  int levelQueries = 0;
  // Lines containing text (at any level when level is not given).
  std::vector<LogLine> matching(const std::string& text) const;
  std::vector<LogLine> matching(const std::string& text, int level) const;

 private:
  int m_level;
  struct Trigger {
    std::string text;
    int nth;
    int seen;
    std::function<void()> action;
  };
  std::vector<Trigger> m_triggers;
};

// One recorded device text and what an engine must answer for it (the reason's start).
struct PresenceCase {
  std::string special;
  FlrSnapOS::Presence presence;
  std::string reason;
};
// Asks engine about every case at once and checks each answer; returns them.
std::vector<FlrSnapOS::RecordedSnap> ExpectAnswers(FlrSnapOS::Engine& engine, FlrSnapOS::FLR_SNAP_ENG slot,
                                                   const std::vector<PresenceCase>& cases);

std::string MakeTempDir();
std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

// A test engine installed for both engine slots, a capturing log writer, a
// configuration file, record paths and a mount root in a fresh folder.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A folder registered as a native volume (or GPFS file system) with this device name.
  std::string addVolume(const std::string& device, bool gpfs = false);
  void writeConfig(const std::string& ini);
  std::unique_ptr<CKestrelNativeSnapManagerPrivate> makeManager(const std::string& kind = "native");
  CNeError initialize(CKestrelNativeSnapManagerPrivate& m, bool useDC = false);

  std::string dir, info, map, mountRoot;
  std::shared_ptr<FlrSnapOS::TestEngine> engine;
  boost::shared_ptr<CapturingLogWriter> log;
};
}  // namespace test
