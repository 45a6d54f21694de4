// SPDX-License-Identifier: Apache-2.0
#include "Kestrel/SnapRecordFile.h"

#include <cerrno>

#include "zr/DurableFile.h"

namespace SnapRecordFile {
bool CannotHold(const std::string& text) { return text.find_first_of(":\r\n") != std::string::npos; }

std::string Line(const std::string& source, const std::string& device, const std::string& mountDir) {
  return source + ":" + device + ":" + mountDir;
}

int ReadLines(const std::string& path, std::vector<std::string>& lines) { return zr::ReadLines(path, lines); }

int Rewrite(const std::string& path, const std::vector<std::string>& lines, const std::string& scratch) {
  std::string text;
  for (auto& line : lines) text += line + "\n";
  return zr::ReplaceDurably(path, text, scratch);
}

int ReplaceLine(const std::string& path, const std::string& from, const std::string& to) {
  std::vector<std::string> lines;
  if (int err = ReadLines(path, lines)) return err;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (*it != from) continue;
    if (to.empty()) {
      lines.erase(std::next(it).base());
    } else {
      *it = to;
    }
    return Rewrite(path, lines, path + ".tmp");
  }
  return 0;
}
}  // namespace SnapRecordFile
