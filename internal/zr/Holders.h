// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace zr {
// A process that keeps a file system or a device busy, and how.
struct ZR_API Holder {
  pid_t pid = 0;
  std::string command;           // its command line, shortened
  std::vector<std::string> how;  // "cwd", "root", "open file F", "mapping F", "open device F"
};

// What /proc tells about the processes that hold something.
struct ZR_API Holders {
  std::vector<Holder> processes;
  // Processes whose entries could not be read (another user's, without root),
  // and the reason of the first: they may hold it too.
  size_t unexamined = 0;
  std::string unexaminedWhy;
  // Device-mapper devices stacked on the device (/sys/block/*/holders): "dm-7 (vg-name)".
  std::vector<std::string> devices;

  bool empty() const { return processes.empty() && devices.empty(); }
  // "pid 12 (sleep 300): cwd; ...", then what could not be examined; or what was found of nothing.
  std::string describe() const;
};

// The processes that use what is seen at dir: a mount point of its own is
// matched by its file system's device (the files any process has on it, under
// whatever path), a plain folder by the paths under it.
ZR_API Holders ProcessesHolding(const std::string& dir, const std::string& proc = "/proc");
// The processes that have files on the file system of device dev, or the block device dev itself open.
ZR_API Holders ProcessesUsingDevice(dev_t dev, const std::string& proc = "/proc");
// The device-mapper devices that /sys/block lists as holders of block device dev.
ZR_API std::vector<std::string> DeviceHolders(dev_t dev, const std::string& sysBlock = "/sys/block");
}  // namespace zr
