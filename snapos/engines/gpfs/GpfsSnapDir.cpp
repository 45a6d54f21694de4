// SPDX-License-Identifier: Apache-2.0
#include "engines/gpfs/GpfsSnapDir.h"

#include <cerrno>
#include <vector>

#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace GpfsSnapDir {
namespace {
const std::vector<std::string> kWhere = {" (root directory only)", " (all directories)"};
const std::vector<std::string> kGlobalsIn = {" in root fileset", " in all filesets"};

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    lines.push_back(output.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// X of a line `<lead>"<fsName>" is "X"<ending>` with one of the endings, or "".
std::string Match(const std::string& line, const std::string& lead, const std::vector<std::string>& endings,
                  const std::string& fsName) {
  const std::string head = lead + "\"" + fsName + "\" is \"";
  if (line.compare(0, head.size(), head) != 0) return "";
  const size_t close = line.find('"', head.size());
  if (close == std::string::npos) return "";
  const std::string name = line.substr(head.size(), close - head.size());
  const std::string rest = line.substr(close + 1);
  bool known = false;
  for (auto& ending : endings) known |= rest == ending;
  return known && name.find('/') == std::string::npos ? name : "";
}
}  // namespace

Names Parse(const std::string& output, const std::string& fsName) {
  std::vector<std::string> lines = Lines(output);
  Names names;
  if (lines.size() == 1) {
    names.global = names.fileset = Match(lines[0], "Snapshot directory for ", kWhere, fsName);
  } else if (lines.size() == 2) {
    names.fileset = Match(lines[0], "Fileset snapshot directory for ", kWhere, fsName);
    names.global = Match(lines[1], "Global snapshot directory for ", kGlobalsIn, fsName);
  }
  if (names.global.empty() || names.fileset.empty()) {
    std::string shown = output;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    throw ZrException("mmsnapdir " + fsName + " -q printed what is not a description of the snapshot directories of " +
                          fsName + ", so where its snapshots appear is unknown: \"" + shown + "\"",
                      EPROTO);
  }
  return names;
}
}  // namespace GpfsSnapDir
}  // namespace FlrSnapOS
