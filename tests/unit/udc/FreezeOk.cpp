// SPDX-License-Identifier: Apache-2.0
// Data-classification stand-in: freezes every volume except those named "*fail*",
// and records each call in $UDC_CALL_LOG so tests can check the arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" __attribute__((visibility("default"))) bool Freeze_n(const char* volume, const char* home, int* state,
                                                                int flag, std::string& error) {
  if (const char* log = std::getenv("UDC_CALL_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%s|%s|%d|%d\n", volume, home, *state, flag);
      std::fclose(f);
    }
  }
  if (std::string(volume).find("fail") != std::string::npos) {
    error = "volume is busy";
    return false;
  }
  return true;
}
