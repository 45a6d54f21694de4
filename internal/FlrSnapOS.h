// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "FlrSnapOSRDEV.h"
#include "zr/SP.h"
#include "zr/ZrApi.h"

namespace FlrSnapOS {
// Which engine a volume list comes from. NATIVE is the configured native
// engine (LVM on a real system); GPFS is the GPFS engine.
enum FLR_SNAP_ENG { FLR_SNAP_ENG_NATIVE = 0, FLR_SNAP_ENG_GPFS = 7 };

class Engine;

// A snapshot as the engine reports it now.
class ZR_API Snap : public SPEnabled {
 public:
  Snap(std::shared_ptr<Engine> engine, const std::string& special, std::string name, std::string id);
  ~Snap() override;

  virtual bool isMounted();
  // True when the file system mounted on dir is this snapshot.
  bool isMountedAt(const std::string& dir) const;
  // Empty while the snapshot holds its whole point-in-time copy; otherwise why not.
  std::string damage() const;
  // How full the space holding its changes is, in words; "" when unknown.
  std::string usage() const;
  // Removes the snapshot. Throws ZrException when it cannot, or will not.
  virtual void deleteSnap();

  RDEV rdev;
  std::string name;  // the snapshot's own name (the one the manager gave)
  std::string id;    // the engine's key for it

 private:
  std::shared_ptr<Engine> m_engine;
};

// A volume that can be snapshotted: an LVM logical volume, a GPFS file system,
// or (in childLVs) a volume nested in a GPFS file system.
class ZR_API LV : public SPEnabled {
 public:
  LV(std::shared_ptr<Engine> engine, const std::string& special, std::string id);
  ~LV() override;

  // Creates snapshot `name` with cowSizeMB of copy-on-write space and mounts it
  // read-only on mountDir (an empty directory). The engine may mount it
  // elsewhere and store that directory in mountDir. Throws ZrException.
  virtual SP<Snap> createSnap(uint32_t cowSizeMB, const std::string& name, std::string& mountDir);
  // The device text snapshot `name` of this volume will have once created.
  std::string snapshotSpecial(const std::string& name) const;

  RDEV rdev;
  std::list<SP<Snap>> snaps;
  std::list<SP<LV>> childLVs;
  std::string mountPath;  // nested volumes: where they appear in the file system
  std::string id;         // the engine's key for it

 private:
  std::shared_ptr<Engine> m_engine;
};

// What an engine knows now of a snapshot named by its recorded device text.
// Absent is positive knowledge (the engine read the place where the snapshot
// would be and it is not there); anything less certain is Unknown, and a
// record entry is dropped only when its snapshot is Absent.
enum class Presence { Present, Absent, Unknown };
struct ZR_API RecordedSnap {
  Presence presence = Presence::Unknown;
  SP<Snap> snap;       // when Present
  std::string reason;  // when Absent or Unknown: how the engine knows, or why it cannot tell
};
// One answer per recorded device text, in order. Throws ZrException when the
// engine cannot be asked at all (for example, lvm is missing).
ZR_API std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG engine, const std::vector<std::string>& specials);
ZR_API const char* presenceName(Presence presence);
// Why snapshots of these origins would not all fit; "" when they would.
ZR_API std::string spaceShortfall(FLR_SNAP_ENG engine, const std::list<SP<LV>>& origins, uint32_t cowSizeMB);

// Every volume of the native engine, with its current snapshots.
ZR_API std::list<SP<LV>> getLVList();
// Every volume of the given engine.
ZR_API std::list<SP<LV>> getLVList(FLR_SNAP_ENG engine);
// What is still on the system of a recorded snapshot that no engine reports
// (another engine's, or one whose engine is misconfigured): its device node, a
// mount on its mount directory, or files in that directory. Empty when nothing is.
ZR_API std::string leftoversOf(const std::string& special, const std::string& mountDir);
// Unmounts the snapshot mounted on dir. Acts only where a snapshot that an
// engine manages is mounted there; otherwise logs why and returns false.
ZR_API bool unMount(const std::string& dir);
}  // namespace FlrSnapOS
