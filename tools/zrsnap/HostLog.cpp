// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/HostLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// The plug-in's own formats, as its log writer receives them.
const char* const kLookupFormats[] = {"LV Dev Name: '%s', SourceVolume %s", "%s Found in LV list"};
}  // namespace

HostLogWriter::HostLogWriter(std::unique_ptr<CStreamLogWriter> out, bool holdLines, bool holdPlain)
    : m_out(std::move(out)), m_holdLines(holdLines), m_holdPlain(holdPlain) {}

int HostLogWriter::ShownLevel(int level, const char* format) {
  if (level != ZR_LOG_ERROR || !format) return level;
  for (const char* lookup : kLookupFormats) {
    if (std::strcmp(format, lookup) == 0) return ZR_LOG_PROGRESS;
  }
  return level;
}

void HostLogWriter::Write(int level, const char* function, int line, int, int, const char* format, ...) {
  const int shown = ShownLevel(level, format);
  if (shown > m_out->GetLevel()) return;
  char buffer[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_holdLines) {
      m_held.push_back(Held{false, shown, function ? function : "", buffer});
      return;
    }
  }
  m_out->Write(shown, function, line, 0, 0, "%s", buffer);
}

bool HostLogWriter::holdPlain(const std::string& text) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_holdPlain) return false;
  m_held.push_back(Held{true, 0, "", text});
  return true;
}

void HostLogWriter::release() {
  std::vector<Held> held;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    held.swap(m_held);
    m_holdLines = m_holdPlain = false;
  }
  for (auto& h : held) {
    if (h.plain) {
      std::fprintf(stderr, "%s\n", h.text.c_str());
    } else {
      m_out->Write(h.level, h.function.c_str(), 0, 0, 0, "%s", h.text.c_str());
    }
  }
  std::fflush(stderr);
}

HostLogWriter* HostLog() { return dynamic_cast<HostLogWriter*>(g_ptrLogWriter.get()); }
