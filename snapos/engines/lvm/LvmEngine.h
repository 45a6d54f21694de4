#pragma once
#include <functional>
#include <memory>
#include <mutex>
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
    std::string lvm = "/sbin/lvm";  // [LVM] sLvmPath
    unsigned timeoutSeconds = 120;  // [LVM] nTimeoutSeconds
    std::string sysBlock = "/sys/block";
    std::string backupDir = "/etc/lvm/backup";
  };
  LvmEngine(Config config, std::shared_ptr<MountOps> mounts);
  static std::shared_ptr<LvmEngine> FromConfig(const ZRPlatformInfo& config);

  std::string name() const override { return "lvm"; }
  // How many times lvm has run in this process (for measurements).
  unsigned lvmRuns() const;

  std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) override;
  std::string snapshotSpecial(const LV& origin, const std::string& name) override;
  SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) override;
  bool isMounted(const Snap& snap) override;
  void deleteSnap(const Snap& snap) override;
  UnmountResult unMount(const std::string& dir, std::string& why) override;
  std::vector<MountEntry> mountTable() override;
  uint64_t mountTableGeneration() override;

  // Mount options for a read-only snapshot of this file-system type.
  static std::string MountOptions(const std::string& fstype);

 private:
  // The last report, re-read when device-mapper or the metadata backups changed.
  std::vector<LvRow> rows();
  LvRow row(const std::string& id);
  std::string runLvm(const std::vector<std::string>& args);
  // The bytes the snapshot will take; throws when the volume group lacks them.
  uint64_t checkFreeSpace(const LvRow& origin, uint32_t cowSizeMB);
  // checkFreeSpace, re-reading the report before it refuses.
  uint64_t enoughSpace(LvRow& origin, uint32_t cowSizeMB);
  LvRow created(const LvRow& origin, const std::string& name, uint64_t allocated);
  // Takes the engine's own change into its cached report, or forgets the report
  // when the system changed in other ways too.
  void noteOwnChange(const DmState::Signature& before, const std::set<std::string>& keys,
                     const std::function<void(std::vector<LvRow>&)>& apply);
  void removeSnapshot(const LvRow& snap);

  Config m_config;
  std::shared_ptr<MountOps> m_mounts;
  mutable std::mutex m_lock;
  std::vector<LvRow> m_rows;
  DmState::Signature m_signature;
  bool m_valid = false;
  unsigned m_runs = 0;
};
}  // namespace FlrSnapOS
