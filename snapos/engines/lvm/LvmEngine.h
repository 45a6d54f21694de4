// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <unistd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "FlrSnapOSEngine.h"
#include "engines/lvm/DmState.h"
#include "engines/lvm/LvmReport.h"
#include "engines/lvm/MountOps.h"
#include "zr/CommandRunner.h"

class ZRPlatformInfo;

namespace FlrSnapOS {
// Real LVM2 through its command line, real mounts through libmount.
class ZR_API LvmEngine : public Engine {
 public:
  struct Config {
    std::string lvm = "/sbin/lvm";     // [LVM] sLvmPath
    unsigned timeoutSeconds = 120;     // [LVM] nTimeoutSeconds
    unsigned cowPercent = 0;           // [LVM] nSnapCowPercent: a thick snapshot's size, of its origin's
    unsigned thinPoolMaxPercent = 80;  // [LVM] nThinPoolMaxPercent: fuller pools take no new snapshot
    // [SnapCow] VG/LV or VG: "N" MiB or "N%" of the origin; "" when not set.
    std::function<std::string(const std::string&)> volumeCow = [](const std::string&) { return std::string(); };
    std::string sysBlock = "/sys/block";
    std::string backupDir = "/etc/lvm/backup";
    std::string sysFsBtrfs = "/sys/fs/btrfs";
    std::string proc = "/proc";  // where the processes that hold a busy snapshot are looked for
    // A busy unmount is tried this many times, this far apart (never lazily).
    unsigned busyTries = 5;
    unsigned busyPauseMs = 500;
    bool root = ::geteuid() == 0;
    // The kernel's status of a device-mapper device (tests stand in for it).
    std::function<bool(const std::string&, DmState::Target&, int&)> dmStatus = DmState::Status;
  };
  LvmEngine(Config config, std::shared_ptr<MountOps> mounts);
  static std::shared_ptr<LvmEngine> FromConfig(const ZRPlatformInfo& config);

  std::string name() const override { return "lvm"; }
  // How many times lvm has run in this process (for measurements).
  unsigned lvmRuns() const;

  std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) override;
  // By VG and LV name: a recorded snapshot is gone only when lvs read its
  // volume group and that has no LV of the name (the node under /dev may be
  // missing, or not made by udev yet, while the LV exists).
  std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials) override;
  SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) override;
  // Thick snapshots' space summed per volume group against its free space,
  // thin pools' data and metadata use against nThinPoolMaxPercent.
  std::string spaceShortfall(const std::list<SP<LV>>& origins, uint32_t cowSizeMB) override;
  // The copy-on-write space a thick snapshot of origin gets, in whole
  // extents, and the setting it comes from.
  struct CowSize {
    uint64_t bytes = 0;
    std::string source;
  };
  CowSize cowSize(const LvRow& origin, uint32_t cowSizeMB) const;
  bool isMounted(const Snap& snap) override;
  void deleteSnap(const Snap& snap) override;
  UnmountResult unMount(const std::string& dir, std::string& why) override;
  std::vector<MountEntry> mountTable() override;
  uint64_t mountTableGeneration() override;
  // The device text snapshot name of origin has, active or not: lvs's lv_dm_path.
  std::string snapshotSpecial(const LV& origin, const std::string& name) override;
  // Why the snapshot holds no complete point-in-time copy, as the kernel tells; "" while it does.
  std::string damage(const Snap& snap) override;
  // From the kernel's status: a thick snapshot's copy-on-write space, or a thin one's pool.
  std::string usage(const Snap& snap) override;
  // By the kernel's device numbers: the node under /dev/mapper may be missing.
  bool isMountedAt(const Snap& snap, const std::string& dir) override;

  // Mount options for a read-only snapshot of this file-system type.
  static std::string MountOptions(const std::string& fstype);

 private:
  // The last report, re-read when device-mapper or the metadata backups changed.
  std::vector<LvRow> rows();
  std::vector<LvRow> readReport();
  LvRow row(const std::string& id);
  RecordedSnap findIn(const std::vector<LvRow>& all, const std::string& special);
  SP<Snap> snapOf(const LvRow& r);
  void forgetReport();
  // Runs lvm; a command that changes LVM (killable false) is never killed on timeout.
  zr::CommandResult run(const std::vector<std::string>& args, bool killable);
  std::string runOrThrow(const std::vector<std::string>& args, bool killable);
  // The output of a finished lvm command; throws when it failed.
  std::string outputOf(const std::vector<std::string>& args, const zr::CommandResult& r, bool killable);
  // What went wrong with a finished lvm command, for a message.
  std::string failure(const std::vector<std::string>& args, const zr::CommandResult& r) const;
  // The reason lvs printed no report, naming lvm's version when it predates the JSON report.
  std::string reportFailure(const std::vector<std::string>& args, const zr::CommandResult& r);
  // Appends to message, and logs, every dm device of vg that a failed command left suspended.
  void checkSuspended(const std::string& vg, std::string& message);
  void refuseBtrfs(const LvRow& origin);
  // Refuses an origin that this lvm cannot snapshot, before anything is made.
  void refuseCacheVolume(const LvRow& origin);
  // lvm's version ("2.03.16(2)"), or "" when it does not say.
  std::string version();
  std::string fileSystemOf(const LvRow& lv);
  void runCreate(const LvRow& origin, const std::string& name, const std::vector<std::string>& args);
  // The UUIDs of the LVs called name in volume group vg (more than one only in a damaged VG).
  std::set<std::string> uuidsNamed(const std::string& vg, const std::string& name);
  // After a failed lvcreate: removes the LV called name in origin's volume group
  // if it was not there before (its UUID is not in before), and says so in
  // message. True when an LV of that name was there before.
  bool removeLeftover(const LvRow& origin, const std::string& name, const std::set<std::string>& before,
                      std::string& message);
  // Why lvm could not suspend origin, and what to do, for a message.
  std::string frozenHint(const LvRow& origin);
  // The bytes the snapshot will take; throws when the volume group lacks them.
  uint64_t checkFreeSpace(const LvRow& origin, uint32_t cowSizeMB);
  std::string shortfallIn(const std::vector<LvRow>& all, const std::list<SP<LV>>& origins, uint32_t cowSizeMB);
  // checkFreeSpace, re-reading the report before it refuses.
  uint64_t enoughSpace(LvRow& origin, uint32_t cowSizeMB);
  LvRow created(const LvRow& origin, const std::string& name, uint64_t allocated, const DmState::Signature& now);
  // Takes the engine's own change into its cached report, or forgets the report
  // when the system changed in other ways too.
  void noteOwnChange(const DmState::Signature& before, const DmState::Signature& after,
                     const std::set<std::string>& keys, const std::function<void(std::vector<LvRow>&)>& apply);
  // Removes a snapshot the engine made, or what its failed lvcreate left.
  void removeSnapshot(const LvRow& snap);
  // Who keeps dir busy: processes, and mounts inside it.
  std::string holdersOfMount(const std::string& dir);
  // Who keeps snap's device open: processes, mounts and device-mapper devices.
  std::string holdersOfDevice(const LvRow& snap);
  std::string thinDamage(const LvRow& snap);
  // The status of dm device name when it has a target of this type; false otherwise.
  bool statusOf(const std::string& dmName, const std::string& type, std::string& status);
  template <class T>
  SP<T> withKernelNumbers(T* record, const LvRow& r);

  Config m_config;
  std::shared_ptr<MountOps> m_mounts;
  mutable std::mutex m_lock;
  std::vector<LvRow> m_rows;
  DmState::Signature m_signature;
  bool m_valid = false;
  unsigned m_runs = 0;
};
}  // namespace FlrSnapOS
