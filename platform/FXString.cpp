// SPDX-License-Identifier: Apache-2.0
#include "zr/FXString.h"

namespace FXString {
size_t Split(const std::string& text, const std::string& separator, std::vector<std::string>& out, int flags) {
  out.clear();
  if (separator.empty()) {
    if (!text.empty() || !(flags & FXSPLIT_SKIP_EMPTY)) out.push_back(text);
    return out.size();
  }
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    std::string piece = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
    if (!piece.empty() || !(flags & FXSPLIT_SKIP_EMPTY)) out.push_back(std::move(piece));
    if (at == std::string::npos) break;
    start = at + separator.size();
  }
  return out.size();
}

void RemoveRight(std::string& text, const std::string& suffix) {
  if (suffix.empty()) return;
  while (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
    text.erase(text.size() - suffix.size());
  }
}
}  // namespace FXString
