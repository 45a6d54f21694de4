// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/DmState.h"

#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace FlrSnapOS {
namespace DmState {
namespace {
std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}
}  // namespace

Signature Read(const std::string& sysBlock, const std::string& backupDir) {
  Signature sig;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(sysBlock, ec)) {
    if (entry.path().filename().string().rfind("dm-", 0) != 0) continue;
    sig["dm:" + FirstLine(entry.path() / "dm/name")] =
        FirstLine(entry.path() / "dev") + " " + FirstLine(entry.path() / "dm/uuid");
  }
  for (auto& entry : fs::directory_iterator(backupDir, ec)) {
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) != 0) continue;
    sig["backup:" + entry.path().filename().string()] =
        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return sig;
}

bool OnlyTouches(const Signature& before, const Signature& after, const std::set<std::string>& keys) {
  for (auto& kv : before) {
    auto it = after.find(kv.first);
    if ((it == after.end() || it->second != kv.second) && !keys.count(kv.first)) return false;
  }
  for (auto& kv : after) {
    if (!before.count(kv.first) && !keys.count(kv.first)) return false;
  }
  return true;
}

bool KernelNumbers(const Signature& signature, const std::string& dmName, int& major, int& minor) {
  auto it = signature.find("dm:" + dmName);
  return it != signature.end() && std::sscanf(it->second.c_str(), "%d:%d", &major, &minor) == 2;
}

std::vector<std::string> Suspended(const std::string& sysBlock, const std::string& prefix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(sysBlock, ec)) {
    std::string name = FirstLine(entry.path() / "dm/name");
    if (name.compare(0, prefix.size(), prefix) == 0 && FirstLine(entry.path() / "dm/suspended") == "1") {
      out.push_back(name);
    }
  }
  return out;
}

std::string BlockName(const std::string& sysBlock, int major, int minor) {
  const std::string wanted = std::to_string(major) + ":" + std::to_string(minor);
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(sysBlock, ec)) {
    if (FirstLine(entry.path() / "dev") == wanted) return entry.path().filename().string();
  }
  return "";
}

bool Status(const std::string& dmName, Target& target, int& err) {
  int fd = ::open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return false;
  }
  std::vector<char> buffer(16384, 0);
  auto* io = reinterpret_cast<dm_ioctl*>(buffer.data());
  io->version[0] = DM_VERSION_MAJOR;
  io->version[1] = 0;
  io->version[2] = 0;
  io->data_size = static_cast<uint32_t>(buffer.size());
  io->data_start = sizeof(dm_ioctl);
  std::strncpy(io->name, dmName.c_str(), DM_NAME_LEN - 1);
  bool ok = ::ioctl(fd, DM_TABLE_STATUS, io) == 0;
  err = ok ? 0 : errno;
  ::close(fd);
  if (!ok) return false;
  if (io->target_count == 0) {
    err = ENXIO;  // no table loaded: nothing to report on
    return false;
  }
  // The status text follows the first target's descriptor.
  auto* descriptor = reinterpret_cast<dm_target_spec*>(buffer.data() + io->data_start);
  target.type.assign(descriptor->target_type, strnlen(descriptor->target_type, DM_MAX_TYPE_NAME));
  const char* text = reinterpret_cast<const char*>(descriptor + 1);
  target.status.assign(text, strnlen(text, buffer.size() - io->data_start - sizeof(dm_target_spec)));
  return true;
}
}  // namespace DmState
}  // namespace FlrSnapOS
