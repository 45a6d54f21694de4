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
  [[maybe_unused]] EvDebugFileInstance* m_instance;
};
