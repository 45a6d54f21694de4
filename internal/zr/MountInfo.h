// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace zr {
// One line of the kernel's mount table, with escapes already decoded.
struct MountRecord {
  std::string source;  // device as the source column names it
  std::string target;  // mount point
  std::string fstype;
  std::string root;     // path inside the file system that is mounted here ("/" for the whole)
  std::string options;  // VFS and super-block options, comma-separated
  dev_t devno = 0;      // the st_dev of files on this mount
};

// Parses a mountinfo file with libmount. Throws ZrException when it cannot.
ZR_API std::vector<MountRecord> ReadMountInfo(const std::string& path = "/proc/self/mountinfo");

// Tells whether the kernel's mount table changed: the kernel reports a change of
// the mount namespace to poll() on mountinfo as POLLPRI. The generation starts
// at 1 and grows by one for every change seen.
class ZR_API MountWatch {
 public:
  MountWatch();
  ~MountWatch();
  MountWatch(const MountWatch&) = delete;
  MountWatch& operator=(const MountWatch&) = delete;
  uint64_t generation();

 private:
  int m_fd;
  uint64_t m_generation = 1;
};
}  // namespace zr
