// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "FlrSnapOS.h"

namespace FlrSnapOS {
// One mounted file system as an engine reports it.
struct MountEntry {
  std::string device;
  std::string mountPoint;
  std::string fsType;
  std::string root = "/";
};

enum class UnmountResult {
  Unmounted,  // it was this engine's snapshot and it is unmounted now
  Failed,     // it was this engine's snapshot and it is still mounted
  NotOurs     // nothing this engine manages is mounted there
};

// What an engine does for the snapshot OS layer. Records (LV, Snap) call back
// into the engine that made them.
class ZR_API Engine : public std::enable_shared_from_this<Engine> {
 public:
  virtual ~Engine();
  virtual std::string name() const = 0;

  virtual std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) = 0;
  // Asks, for each recorded device text, whether its snapshot is there. The
  // default matches against listVolumes and says Unknown for anything not
  // found, since a listing may leave volumes out; engines that can read the
  // place of a snapshot by name override it to say Absent.
  virtual std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials);
  // The device text that snapshot `name` of origin will have, known before it
  // exists: the manager records a snapshot before asking for it, so that no
  // moment leaves one that no record names. createSnap's snapshot reports it.
  virtual std::string snapshotSpecial(const LV& origin, const std::string& name) = 0;
  virtual SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) = 0;
  // Why snapshots of all these origins, made together, would not fit (every
  // volume group or pool that falls short, with its figures); "" when they
  // would. Asked before a job creates anything. The default has no limits.
  virtual std::string spaceShortfall(const std::list<SP<LV>>& origins, uint32_t cowSizeMB);
  // Empty while the snapshot still holds its whole point-in-time copy;
  // otherwise why it does not (a backup read from it is incomplete).
  virtual std::string damage(const Snap& snap);
  // How full the space that holds the snapshot's changes is now, in words
  // ("41.20% of its 64 MiB copy-on-write space"); "" when the engine cannot tell.
  virtual std::string usage(const Snap& snap);
  // True when the file system mounted on dir is snap itself.
  virtual bool isMountedAt(const Snap& snap, const std::string& dir);
  virtual bool isMounted(const Snap& snap) = 0;
  virtual void deleteSnap(const Snap& snap) = 0;
  // why receives the reason when the result is not Unmounted.
  virtual UnmountResult unMount(const std::string& dir, std::string& why) = 0;

  // The mount table as this engine sees it (the kernel's, plus any volumes of its own).
  virtual std::vector<MountEntry> mountTable() = 0;
  // Grows whenever mountTable() would answer differently.
  virtual uint64_t mountTableGeneration() = 0;
};

// Engines are chosen by configuration: [SnapOS] sEngine (native, default "lvm")
// and [SnapOS] sGpfsEngine (GPFS, default "gpfs"), made on first use.
ZR_API std::shared_ptr<Engine> engine(FLR_SNAP_ENG slot);
// Replaces the engine of a slot (hosts and tests); null returns it to configuration.
ZR_API void setEngine(FLR_SNAP_ENG slot, std::shared_ptr<Engine> engine);
// Makes the engine called name ("lvm", "sim", "gpfs") from the configuration
// store. Throws ZrException for another name.
ZR_API std::shared_ptr<Engine> makeEngine(const std::string& name);
// True when candidate is the snapshot recorded as device: by device identity,
// or, for a recorded device without a node (an inactive snapshot), by the very
// text that was recorded.
ZR_API bool namesSnapshot(const RDEV& wanted, const std::string& device, const Snap& candidate);
// True when snapshot names carry a manager's prefix: only those may be removed.
ZR_API bool isManagerSnapshotName(const std::string& name);
}  // namespace FlrSnapOS
