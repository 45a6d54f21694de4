// SPDX-License-Identifier: Apache-2.0
#include "BlockStack.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace FlrSnapOS {
namespace {
namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// A device-mapper name splits at its first single '-'; "--" stands for a '-'
// inside the volume group's or the LV's name.
std::string LvOfDmName(const std::string& name) {
  std::string vg, lv;
  std::string* part = &vg;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '-' && i + 1 < name.size() && name[i + 1] == '-') {
      *part += '-';
      ++i;
    } else if (name[i] == '-' && part == &vg) {
      part = &lv;
    } else {
      *part += name[i];
    }
  }
  return vg + "/" + lv;
}

// lvm's uuids are "LVM-" followed by the VG's and the LV's 32-character uuids;
// a layer of an LV (its -real, -cow, -tpool) carries a suffix after them.
bool IsWholeLv(const std::string& uuid) { return uuid.compare(0, 4, "LVM-") == 0 && uuid.size() == 4 + 64; }

std::string KindOf(const std::string& uuid) {
  if (uuid.compare(0, 6, "CRYPT-") == 0) return "dm-crypt device";
  if (uuid.compare(0, 6, "mpath-") == 0) return "multipath device";
  return "device-mapper device";
}
}  // namespace

std::string deviceAboveLv(const std::string& device, unsigned major, unsigned minor, const std::string& sysRoot) {
  std::error_code ec;
  const fs::path node =
      fs::canonical(sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), ec);
  if (ec || !fs::is_directory(node / "dm", ec)) return "";
  const std::string uuid = FirstLine(node / "dm" / "uuid");
  if (uuid.compare(0, 4, "LVM-") == 0) return "";
  std::vector<std::string> lvs;
  for (fs::directory_iterator it(node / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path below = fs::canonical(it->path(), ec);
    if (ec) break;
    if (IsWholeLv(FirstLine(below / "dm" / "uuid"))) lvs.push_back(LvOfDmName(FirstLine(below / "dm" / "name")));
  }
  if (lvs.empty()) return "";
  std::sort(lvs.begin(), lvs.end());
  std::string text = device + " is the " + KindOf(uuid) + " " + node.filename().string() + " (" +
                     FirstLine(node / "dm" / "name") + ") over the logical volume" + (lvs.size() > 1 ? "s " : " ");
  for (size_t i = 0; i < lvs.size(); ++i) text += (i ? ", " : "") + lvs[i];
  return text;
}

std::string deviceAboveLv(const std::string& device, const std::string& sysRoot) {
  struct stat st {};
  // stat, not lstat: udev makes the nodes under /dev/mapper links to ../dm-N.
  if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  return deviceAboveLv(device, major(st.st_rdev), minor(st.st_rdev), sysRoot);
}
}  // namespace FlrSnapOS
