// SPDX-License-Identifier: Apache-2.0
#include "zr/EvDebug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "zr/LogWriter.h"

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}

void EvDebug::Error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  // Sized to the message: a long path must not lose its end and the reason after it.
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  ZR_LOG(ZR_LOG_ERROR, function, "%s", text.c_str());
}
