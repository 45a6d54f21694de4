// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "zr/ZrApi.h"

// Log levels: -1 failures, 0 progress, 3 detail.
enum ZrLogLevel { ZR_LOG_ERROR = -1, ZR_LOG_PROGRESS = 0, ZR_LOG_DETAIL = 3 };

// The host's log writer. Slot order matters to hosts built elsewhere: Write, then GetLevel.
class ZR_API CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();
  virtual void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format, ...)
      __attribute__((format(printf, 7, 8))) = 0;
  virtual int GetLevel() = 0;
};

// Process-wide writer; the host installs it before any manager operation runs.
extern ZR_API boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// The installed writer, or, until a host installs one, a writer of failures
// and progress to standard error: a missing writer must not crash the host.
ZR_API CLogWriterInterface& ZrLogWriter();

// Arguments are evaluated only when the line will be written.
#define ZR_LOG(level, function, ...)                                                                              \
  do {                                                                                                            \
    CLogWriterInterface& zrLogWriter_ = ZrLogWriter();                                                            \
    if (zrLogWriter_.GetLevel() >= (level)) zrLogWriter_.Write((level), (function), __LINE__, 0, 0, __VA_ARGS__); \
  } while (0)

// A writer for hosts: one line per message with time stamp and level name, to a
// stream (stderr by default) or to a file opened for appending.
class ZR_API CStreamLogWriter : public CLogWriterInterface {
 public:
  explicit CStreamLogWriter(int level, FILE* stream = stderr);
  // Opens path for appending; throws ZrException when it cannot.
  CStreamLogWriter(int level, const std::string& path);
  ~CStreamLogWriter() override;
  void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format, ...) override
      __attribute__((format(printf, 7, 8)));
  int GetLevel() override { return m_level; }

  static const char* LevelName(int level);

 private:
  // The first line that cannot be written (a full disk) is said once on stderr.
  void noteFailedWrite(int err);

  int m_level;
  FILE* m_stream;
  bool m_owned;
  std::string m_path;
  bool m_failed = false;
  std::mutex m_lock;
};
