#include "engines/lvm/DmState.h"

#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool SnapshotInvalid(const std::string& dmName) {
  int fd = ::open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(16384, 0);
  auto* io = reinterpret_cast<dm_ioctl*>(buffer.data());
  io->version[0] = DM_VERSION_MAJOR;
  io->version[1] = 0;
  io->version[2] = 0;
  io->data_size = static_cast<uint32_t>(buffer.size());
  io->data_start = sizeof(dm_ioctl);
  std::strncpy(io->name, dmName.c_str(), DM_NAME_LEN - 1);
  bool invalid = false;
  if (::ioctl(fd, DM_TABLE_STATUS, io) == 0 && io->target_count > 0) {
    // One target for a snapshot: its status text follows its descriptor.
    auto* target = reinterpret_cast<dm_target_spec*>(buffer.data() + io->data_start);
    const char* status = reinterpret_cast<const char*>(target + 1);
    invalid =
        std::strncmp(target->target_type, "snapshot", DM_MAX_TYPE_NAME) == 0 && std::strncmp(status, "Invalid", 7) == 0;
  }
  ::close(fd);
  return invalid;
}
}  // namespace DmState
}  // namespace FlrSnapOS
