// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/SnapshotCensus.h"

#include "FlrSnapOSEngine.h"

namespace {
struct MountedDevice {
  FlrSnapOS::RDEV device;
  std::string mountPoint;
};

// The mount table's devices, each examined once.
std::vector<MountedDevice> MountedDevices() {
  std::vector<MountedDevice> out;
  for (auto& entry : FlrSnapOS::engine(FlrSnapOS::FLR_SNAP_ENG_NATIVE)->mountTable()) {
    FlrSnapOS::RDEV device(entry.device);
    if (!device.isUnknownLocal()) out.push_back({device, entry.mountPoint});
  }
  return out;
}
}  // namespace

std::vector<SeenSnapshot> TakeCensus(FlrSnapOS::FLR_SNAP_ENG slot) {
  std::vector<SeenSnapshot> seen;
  std::vector<MountedDevice> mounts;
  bool mountsRead = false;
  for (auto& lv : FlrSnapOS::getLVList(slot)) {
    for (auto& snap : lv->snaps) {
      if (!FlrSnapOS::isManagerSnapshotName(snap->name)) continue;
      if (!mountsRead) mounts = MountedDevices();
      mountsRead = true;
      SeenSnapshot s{snap, lv->rdev.getSpecial(), snap->isMounted(), {}};
      for (auto& m : mounts) {
        if (!snap->rdev.isUnknownLocal() && m.device == snap->rdev) s.mountedOn.push_back(m.mountPoint);
      }
      seen.push_back(s);
    }
  }
  return seen;
}
