// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "zr/ZrApi.h"

class EvDebugFileInstance;

// Debug log of the platform. The default instance (null) writes to the
// process's log writer at level -1, or to stderr when no writer is installed.
class ZR_API EvDebug {
 public:
  explicit EvDebug(EvDebugFileInstance* instance = nullptr);
  void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  // The GNU spelling, not [[maybe_unused]]: agents build this header as C++11.
  EvDebugFileInstance* m_instance __attribute__((unused));
};
