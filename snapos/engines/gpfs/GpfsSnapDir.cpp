#include "engines/gpfs/GpfsSnapDir.h"

#include <cerrno>
#include <regex>
#include <vector>

#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace GpfsSnapDir {
namespace {
const std::regex kBoth(
    R"re(Snapshot directory for "([^"]+)" is "([^"/]+)" \((root directory only|all directories)\))re");
const std::regex kFileset(
    R"re(Fileset snapshot directory for "([^"]+)" is "([^"/]+)" \((root directory only|all directories)\))re");
const std::regex kGlobal(R"re(Global snapshot directory for "([^"]+)" is "([^"/]+)" in (root fileset|all filesets))re");

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

// The directory name of a line of the given shape about fsName, or "".
std::string Match(const std::string& line, const std::regex& shape, const std::string& fsName) {
  std::smatch m;
  if (!std::regex_match(line, m, shape) || m[1] != fsName) return "";
  return m[2];
}
}  // namespace

Names Parse(const std::string& output, const std::string& fsName) {
  std::vector<std::string> lines = Lines(output);
  Names names;
  if (lines.size() == 1) {
    names.global = names.fileset = Match(lines[0], kBoth, fsName);
  } else if (lines.size() == 2) {
    names.fileset = Match(lines[0], kFileset, fsName);
    names.global = Match(lines[1], kGlobal, fsName);
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
