#include "zr/EvDebug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "zr/LogWriter.h"

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}

void EvDebug::Error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (g_ptrLogWriter) {
    ZR_LOG(ZR_LOG_ERROR, function, "%s", buffer);
  } else {
    std::fprintf(stderr, "ERROR %s: %s\n", function, buffer);
  }
}
