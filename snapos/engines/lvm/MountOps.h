// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zr/MountInfo.h"

namespace FlrSnapOS {
// The mount side of the LVM engine, apart so that tests can stand in for the kernel.
class ZR_API MountOps {
 public:
  virtual ~MountOps();
  // The file-system type on a block device, as mount(8) would detect it ("" if unknown).
  virtual std::string probe(const std::string& device) = 0;
  // Mounts device on dir. Throws ZrException with the reason.
  virtual void mount(const std::string& device, const std::string& dir, const std::string& fstype,
                     const std::string& options) = 0;
  // Unmounts dir, neither lazily nor by force. Throws ZrException with the reason.
  virtual void umount(const std::string& dir) = 0;
  virtual std::vector<zr::MountRecord> table() = 0;
  virtual uint64_t generation() = 0;
};

// The real kernel through libmount.
ZR_API std::shared_ptr<MountOps> MakeLibmountOps();
}  // namespace FlrSnapOS
