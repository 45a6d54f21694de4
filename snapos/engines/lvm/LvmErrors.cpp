// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/LvmErrors.h"

#include <vector>

namespace FlrSnapOS {
namespace LvmErrors {
namespace {
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t start = text.find_first_not_of(" \t", at);
    if (start < end) out.push_back(text.substr(start, end - start));
    at = end + 1;
  }
  return out;
}

// lvm's log_warn lines start with "WARNING:" (lvm2's lib/log).
bool IsWarning(const std::string& line) { return line.compare(0, 8, "WARNING:") == 0; }

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

std::string Reason(const std::string& stderrText) {
  std::vector<std::string> all = Lines(stderrText), errors;
  for (auto& line : all) {
    if (!IsWarning(line)) errors.push_back(line);
  }
  const std::vector<std::string>& quoted = errors.empty() ? all : errors;
  std::string out;
  for (size_t i = 0; i < quoted.size() && i < kMostLines; ++i) out += (out.empty() ? "" : " | ") + quoted[i];
  if (quoted.size() > kMostLines) out += " | (" + std::to_string(quoted.size() - kMostLines) + " more lines)";
  return out;
}

bool SaysInUse(const std::string& text) {
  for (size_t at = text.find("Logical volume "); at != std::string::npos; at = text.find("Logical volume ", at + 1)) {
    size_t end = text.find_first_of("\n|", at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (EndsWith(line, " in use.") || EndsWith(line, " is used by another device.")) return true;
  }
  return false;
}
}  // namespace LvmErrors
}  // namespace FlrSnapOS
