// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "zr/LogWriter.h"

// zrsnap's log writer. It shows the plug-in's progress lines that the plug-in
// writes at level -1 as progress, so that a job that succeeds shows no ERROR;
// with -q it holds every line back and writes them only if the command fails,
// so that cron mails only what went wrong, with its whole context.
class HostLogWriter : public CLogWriterInterface {
 public:
  // out writes the lines; holdLines keeps them, holdPlain zrsnap's own lines
  // for standard error, until release.
  HostLogWriter(std::unique_ptr<CStreamLogWriter> out, bool holdLines, bool holdPlain);
  void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* format, ...) override
      __attribute__((format(printf, 7, 8)));
  int GetLevel() override { return m_out->GetLevel(); }

  // A line of zrsnap's own for standard error: held back like the others.
  // False when it is not held (write it now).
  bool holdPlain(const std::string& text);
  // Writes what was held back, in order.
  void release();

  // The level a line is shown at: the plug-in's two lookup lines, which it
  // writes at -1, are progress.
  static int ShownLevel(int level, const char* format);

 private:
  struct Held {
    bool plain;
    int level;
    std::string function, text;
  };
  std::unique_ptr<CStreamLogWriter> m_out;
  bool m_holdLines, m_holdPlain;
  std::vector<Held> m_held;
  std::mutex m_lock;
};

// The writer zrsnap installed, or null.
HostLogWriter* HostLog();
