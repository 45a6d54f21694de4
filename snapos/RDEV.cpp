// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "FlrSnapOSRDEV.h"
#include "zr/EvDebug.h"

namespace FlrSnapOS {
namespace {
bool StartsWith(const std::string& s, size_t at, const char* prefix) {
  return s.compare(at, std::strlen(prefix), prefix) == 0;
}
}  // namespace

RDEV::RDEV(const std::string& text) { init(text); }

void RDEV::init(const std::string& t) {
  if (t.empty()) {
    isNull = true;
    return;
  }
  special = t;
  if (t[0] == '/') {
    struct stat st {};
    if (::stat(t.c_str(), &st) != 0) {
      int err = errno;
      EvDebug(nullptr).Error("FlrSnapOS::RDEV::init", "Failed to stat %s: %s", t.c_str(), std::strerror(err));
      std::memset(&st, 0, sizeof st);
    }
    type = FLR_RDEV_LOCAL;
    devNumber = st.st_rdev;
    name = t.substr(t.rfind('/') + 1);
    return;
  }
  size_t marker = t.find(":/");
  if (marker != std::string::npos) initRemote(marker);
}

void RDEV::initRemote(size_t marker) {
  type = FLR_RDEV_REMOTE;
  host = special.substr(0, marker);
  remotePath = special.substr(marker + 1);
  if (!StartsWith(remotePath, 0, "/vol/")) return;
  std::string r = remotePath.substr(5);
  size_t slash = r.find('/');
  if (slash == std::string::npos) {
    volume = r;
    return;
  }
  volume = r.substr(0, slash);
  std::string s = r.substr(slash + 1);
  if (!StartsWith(s, 0, ".snapshot/")) {
    volumePath = s;
    return;
  }
  std::string u = s.substr(10);
  slash = u.find('/');
  if (slash == std::string::npos) {
    name = u;
    return;
  }
  name = u.substr(0, slash);
  volumePath = u.substr(slash + 1);
}

bool operator==(const RDEV& a, const RDEV& b) {
  if (a.type != b.type) return false;
  if (a.type == FLR_RDEV_LOCAL) return a.devNumber == b.devNumber;
  return a.special == b.special;
}
}  // namespace FlrSnapOS
