// SPDX-License-Identifier: Apache-2.0
#include "FuzzSupport.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "zr/LogWriter.h"

namespace fuzz {
namespace {
// Formats each line, so that a bad argument to a log line shows up under the sanitizers.
class FormattingLogWriter : public CLogWriterInterface {
 public:
  void Write(int, const char*, int, int, int, const char* format, ...) override {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
  }
  int GetLevel() override { return ZR_LOG_DETAIL; }
};
}  // namespace

std::string Folder(const std::string& target) {
  std::string dir = "/tmp/zr-fuzz/" + target;
  std::filesystem::create_directories(dir);
  return dir;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
}

void InstallLogWriter() { g_ptrLogWriter = boost::make_shared<FormattingLogWriter>(); }
}  // namespace fuzz
