// SPDX-License-Identifier: Apache-2.0
#include "FlrSnapOS.h"
#include "FlrSnapOSEngine.h"
#include "zr/FXPath.h"

namespace FlrSnapOS {
Snap::Snap(std::shared_ptr<Engine> engine, const std::string& special, std::string snapName, std::string key)
    : rdev(special), name(std::move(snapName)), id(std::move(key)), m_engine(std::move(engine)) {}
Snap::~Snap() = default;

bool Snap::isMounted() { return m_engine->isMounted(*this); }
void Snap::deleteSnap() { m_engine->deleteSnap(*this); }
bool Snap::isMountedAt(const std::string& dir) const { return m_engine->isMountedAt(*this, dir); }
std::string Snap::damage() const { return m_engine->damage(*this); }
std::string Snap::usage() const { return m_engine->usage(*this); }

LV::LV(std::shared_ptr<Engine> engine, const std::string& special, std::string key)
    : rdev(special), id(std::move(key)), m_engine(std::move(engine)) {}
LV::~LV() = default;

SP<Snap> LV::createSnap(uint32_t cowSizeMB, const std::string& snapName, std::string& mountDir) {
  return m_engine->createSnap(*this, cowSizeMB, snapName, mountDir);
}

std::string LV::snapshotSpecial(const std::string& snapName) const {
  return m_engine->snapshotSpecial(*this, snapName);
}

Engine::~Engine() = default;

bool namesSnapshot(const RDEV& wanted, const std::string& device, const Snap& candidate) {
  if (!wanted.isUnknownLocal()) return wanted == candidate.rdev;
  return candidate.rdev.isUnknownLocal() && candidate.rdev.getSpecial() == device;
}

std::vector<RecordedSnap> Engine::findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials) {
  std::vector<RecordedSnap> out(specials.size());
  if (specials.empty()) return out;
  const std::list<SP<LV>> volumes = listVolumes(kind);
  for (size_t i = 0; i < specials.size(); ++i) {
    const RDEV wanted(specials[i]);
    for (auto& lv : volumes) {
      for (auto& snap : lv->snaps) {
        if (out[i].snap || !namesSnapshot(wanted, specials[i], *snap)) continue;
        out[i].presence = Presence::Present;
        out[i].snap = snap;
      }
    }
    if (!out[i].snap) {
      out[i].reason = "the " + name() + " engine does not list it, and cannot tell whether it is gone or not visible";
    }
  }
  return out;
}

std::string Engine::damage(const Snap&) { return {}; }

std::string Engine::usage(const Snap&) { return {}; }

std::string Engine::spaceShortfall(const std::list<SP<LV>>&, uint32_t) { return {}; }

bool Engine::isMountedAt(const Snap& snap, const std::string& dir) {
  const std::string target = FXPath::Resolve(dir);
  // The last mount on a directory is the one that is seen there.
  auto table = mountTable();
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->mountPoint == target || FXPath::Resolve(it->mountPoint) == target) return RDEV(it->device) == snap.rdev;
  }
  return false;
}
}  // namespace FlrSnapOS
