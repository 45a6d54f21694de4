// SPDX-License-Identifier: Apache-2.0
#include <map>
#include <mutex>

#include "CXHSMMntTab.h"
#include "FlrSnapOSEngine.h"
#include "engines/BuiltInEngines.h"
#include "zr/EvDebug.h"
#include "zr/FXPath.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
struct Registry {
  std::mutex lock;
  std::map<int, std::shared_ptr<Engine>> engines;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::string ConfiguredName(FLR_SNAP_ENG slot) {
  std::string name = slot == FLR_SNAP_ENG_GPFS ? "gpfs" : "lvm";
  ZRPlatformInfo().getString("SnapOS", slot == FLR_SNAP_ENG_GPFS ? "sGpfsEngine" : "sEngine", &name);
  return name;
}

EngineFactory FactoryFor(const std::string& name) {
  for (auto& builtIn : BuiltInEngines()) {
    if (builtIn.first == name) return builtIn.second;
  }
  throw ZrException("Snapshot engine \"" + name + "\" is not available in this build", EINVAL);
}

// The resolver of FXPath must see the volumes that the native engine adds to
// the mount table (the simulated engine's directories, for example).
std::shared_ptr<const std::vector<std::string>> EngineMountPoints() {
  static CXHSMMntTab* table = new CXHSMMntTab();  // lives as long as the process, like the engine
  table->refreshIfChanged();
  return table->mountPoints();
}

const bool g_resolverInstalled = (FXPath::SetMountPointSource(&EngineMountPoints), true);
}  // namespace

std::shared_ptr<Engine> engine(FLR_SNAP_ENG slot) {
  if (slot != FLR_SNAP_ENG_NATIVE && slot != FLR_SNAP_ENG_GPFS) {
    throw ZrException("Unknown snapshot engine selector " + std::to_string(static_cast<int>(slot)), EINVAL);
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto& e = r.engines[slot];
  if (!e) e = FactoryFor(ConfiguredName(slot))(ZRPlatformInfo());
  return e;
}

std::shared_ptr<Engine> makeEngine(const std::string& name) { return FactoryFor(name)(ZRPlatformInfo()); }

void setEngine(FLR_SNAP_ENG slot, std::shared_ptr<Engine> e) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  r.engines[slot] = std::move(e);
}

bool isManagerSnapshotName(const std::string& name) {
  for (const char* prefix : {"zrks_", "zrgpfs_"}) {
    std::string p(prefix);
    if (name.size() > p.size() && name.compare(0, p.size(), p) == 0) return true;
  }
  return false;
}

std::list<SP<LV>> getLVList() { return engine(FLR_SNAP_ENG_NATIVE)->listVolumes(FLR_SNAP_ENG_NATIVE); }

std::list<SP<LV>> getLVList(FLR_SNAP_ENG slot) { return engine(slot)->listVolumes(slot); }

std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG slot, const std::vector<std::string>& specials) {
  // An empty record needs no engine: a node without LVM must still clean up.
  if (specials.empty()) return {};
  return engine(slot)->findRecorded(slot, specials);
}

std::string spaceShortfall(FLR_SNAP_ENG slot, const std::list<SP<LV>>& origins, uint32_t cowSizeMB) {
  if (origins.empty()) return {};
  return engine(slot)->spaceShortfall(origins, cowSizeMB);
}

const char* presenceName(Presence presence) {
  switch (presence) {
    case Presence::Present:
      return "present";
    case Presence::Absent:
      return "gone";
    case Presence::Unknown:
      break;
  }
  return "unknown";
}

bool unMount(const std::string& dir) {
  std::vector<std::shared_ptr<Engine>> active;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (auto& kv : r.engines) {
      if (kv.second) active.push_back(kv.second);
    }
  }
  std::string reasons;
  for (auto& e : active) {
    std::string why;
    switch (e->unMount(dir, why)) {
      case UnmountResult::Unmounted:
        return true;
      case UnmountResult::Failed:
        EvDebug().Error("FlrSnapOS::unMount", "Cannot unmount %s: %s", dir.c_str(), why.c_str());
        return false;
      case UnmountResult::NotOurs:
        reasons += (reasons.empty() ? "" : "; ") + e->name() + ": " + why;
        break;
    }
  }
  EvDebug().Error("FlrSnapOS::unMount", "Refusing to unmount %s: %s", dir.c_str(),
                  reasons.empty() ? "no snapshot engine is active" : reasons.c_str());
  return false;
}
}  // namespace FlrSnapOS
