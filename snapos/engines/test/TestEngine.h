// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FlrSnapOSEngine.h"

namespace FlrSnapOS {
// In-process engine for tests. Its volumes and snapshots are plain records; a
// "mounted" snapshot is only a mount-table line. Every call is logged in order,
// and any call can be made to fail or to run a callback. With a state file the
// records are saved after every change, so a forked child that dies midway
// leaves its state for the parent to load.
class TestEngine : public Engine {
 public:
  enum class Call { CreateSnap, IsMounted, DeleteSnap, UnMount, ListVolumes, MountTable, FindRecorded };
  enum class Fault {
    ThrowZr,         // throw ZrException(arg)
    ThrowOther,      // throw std::runtime_error(arg)
    ReturnFalse,     // isMounted / unMount answer false (unMount: the snapshot stays mounted)
    ChangeMountDir,  // createSnap mounts on arg instead
    Before,          // run the callback when the call starts
    After            // run the callback when the call has done its work
  };
  struct Snapshot {
    std::string name, device, origin, mountDir;
    bool mounted = false;
    std::string damage;  // what damage() reports for it
  };

  explicit TestEngine(std::string stateFile = "");
  std::string name() const override { return "test"; }

  // Scripting.
  void addVolume(const std::string& device, const std::string& mountPoint);
  void addGpfsFileSystem(const std::string& device, const std::string& mountPoint);
  void addNestedVolume(const std::string& parent, const std::string& device, const std::string& mountPath);
  void addNullNestedVolume(const std::string& parent);
  void addSnapshot(const std::string& origin, const std::string& name, const std::string& device,
                   const std::string& mountDir);
  // root: the folder of the device's file system that the mount shows (a bind mount's).
  void addMount(const std::string& device, const std::string& mountPoint, const std::string& root = "/");
  void markMountTableChanged();
  // A hidden volume is left out of listings, as a VG that lvs cannot read yet:
  // no recorded snapshot is known gone while one is hidden.
  void setHidden(const std::string& device, bool hidden);
  // "{name}" in the format is replaced by the snapshot name.
  void setSnapDeviceFormat(const std::string& format);
  // What spaceShortfall() answers (empty: everything fits).
  void setSpaceShortfall(const std::string& why);
  // Makes damage() report why for snapshot name (empty: whole again).
  void setDamage(const std::string& name, const std::string& why);
  void inject(Call call, int nth, Fault fault, std::string arg = "", std::function<void()> callback = {});

  // Observation.
  std::vector<std::string> calls() const;
  std::vector<std::string> callsOf(const std::string& prefix) const;
  std::vector<Snapshot> snapshots() const;
  bool hasSnapshot(const std::string& name) const;

  // Persistence.
  void save() const;
  void load();

  // Engine.
  std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) override;
  std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials) override;
  std::string snapshotSpecial(const LV& origin, const std::string& name) override;
  SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) override;
  std::string damage(const Snap& snap) override;
  std::string spaceShortfall(const std::list<SP<LV>>& origins, uint32_t cowSizeMB) override;
  bool isMountedAt(const Snap& snap, const std::string& dir) override;
  bool isMounted(const Snap& snap) override;
  void deleteSnap(const Snap& snap) override;
  UnmountResult unMount(const std::string& dir, std::string& why) override;
  std::vector<MountEntry> mountTable() override;
  uint64_t mountTableGeneration() override;

 private:
  struct Volume {
    std::string device, mountPoint, mountPath, parent;
    bool gpfs = false;
    bool null = false;
    bool hidden = false;
  };
  struct Injection {
    Call call;
    int nth;
    Fault fault;
    std::string arg;
    std::function<void()> callback;
  };

  // Counts the call, logs it and applies the faults that fire before it.
  // Returns the faults that fire on it (to apply those that act later).
  std::vector<Injection> enter(Call call, const std::string& text);
  static void runAfter(const std::vector<Injection>& fired);
  static bool fires(const std::vector<Injection>& fired, Fault f, std::string* arg = nullptr);
  SP<LV> makeLV(const Volume& v, FLR_SNAP_ENG kind);
  SP<Snap> makeSnap(const Snapshot& s);
  void changed();
  std::vector<MountEntry> table() const;  // mountTable() without counting a call

  mutable std::recursive_mutex m_lock;
  std::string m_stateFile;
  std::string m_snapDeviceFormat = "testsnap-{name}";
  std::string m_shortfall;
  std::vector<Volume> m_volumes;
  std::vector<Snapshot> m_snapshots;
  std::vector<MountEntry> m_extraMounts;
  uint64_t m_generation = 1;
  std::map<Call, int> m_counts;
  std::vector<Injection> m_injections;
  std::vector<std::string> m_calls;
};
}  // namespace FlrSnapOS
