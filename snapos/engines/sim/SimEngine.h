// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "FlrSnapOSEngine.h"
#include "engines/sim/SimState.h"
#include "zr/MountInfo.h"

class ZRPlatformInfo;

namespace FlrSnapOS {
// Unprivileged stand-in for LVM. A volume is a directory registered under a
// bare device name; a snapshot is a copy of that directory made in the mount
// directory ("mounted") and emptied again by unMount. The state lives in a
// folder, so a later process sees what an earlier one made, as with LVM.
class ZR_API SimEngine : public Engine {
 public:
  explicit SimEngine(std::string stateDir);
  // [SimEngine] sStateDir, default /var/lib/zrsnap/sim.
  static std::shared_ptr<SimEngine> FromConfig(const ZRPlatformInfo& config);

  std::string name() const override { return "sim"; }
  const std::string& stateDir() const { return m_dir; }

  // Registers path (an existing directory) as the volume called device.
  void addVolume(const std::string& device, const std::string& path);
  // Unregisters a volume; refused while snapshots of it exist (cleanup would lose them).
  void removeVolume(const std::string& device);
  // Activates or deactivates a registered volume.
  void setActive(const std::string& device, bool active);
  SimState state() const;

  std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) override;
  // Gone when the origin is a registered volume and the state has no such snapshot.
  std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials) override;
  std::string snapshotSpecial(const LV& origin, const std::string& name) override;
  SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) override;
  bool isMounted(const Snap& snap) override;
  void deleteSnap(const Snap& snap) override;
  UnmountResult unMount(const std::string& dir, std::string& why) override;
  std::vector<MountEntry> mountTable() override;
  uint64_t mountTableGeneration() override;

 private:
  struct StateStamp {
    ino_t inode = 0;
    time_t seconds = 0;
    long nanoseconds = 0;
    off_t size = 0;
    bool recent() const;  // younger than the file system's time stamp granularity
    bool operator==(const StateStamp& o) const {
      return inode == o.inode && seconds == o.seconds && nanoseconds == o.nanoseconds && size == o.size;
    }
  };

  StateStamp stampNow() const;

  std::string m_dir;
  zr::MountWatch m_kernel;
  std::mutex m_watchLock;
  StateStamp m_stamp;
  uint64_t m_stateChanges = 1;
  mutable std::mutex m_cacheLock;
  mutable std::shared_ptr<const SimState> m_cached;
  mutable StateStamp m_cachedStamp;
};
}  // namespace FlrSnapOS
