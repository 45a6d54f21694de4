// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "FlrSnapOS.h"
#include "zr/FXPath.h"
#include "zr/MountInfo.h"

namespace FlrSnapOS {
namespace {
bool IsMountPoint(const std::string& dir) {
  const std::string target = FXPath::Resolve(dir);
  for (auto& m : zr::ReadMountInfo()) {
    if (m.target == target) return true;
  }
  return false;
}
}  // namespace

std::string leftoversOf(const std::string& special, const std::string& mountDir) {
  struct stat st {};
  if (!special.empty() && special[0] == '/' && ::stat(special.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    return "its device node " + special + " exists";
  }
  if (mountDir.empty() || ::lstat(mountDir.c_str(), &st) != 0) return "";
  if (IsMountPoint(mountDir)) return "a file system is mounted on its mount directory " + mountDir;
  if (!S_ISDIR(st.st_mode)) return "its mount directory " + mountDir + " is not a directory";
  std::error_code ec;
  bool empty = std::filesystem::is_empty(mountDir, ec);
  if (ec) return "its mount directory " + mountDir + " cannot be read: " + ec.message();
  return empty ? "" : "its mount directory " + mountDir + " holds files";
}
}  // namespace FlrSnapOS
