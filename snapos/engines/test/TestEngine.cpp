// SPDX-License-Identifier: Apache-2.0
#include "TestEngine.h"

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "zr/DurableFile.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}
}  // namespace

TestEngine::TestEngine(std::string stateFile) : m_stateFile(std::move(stateFile)) {}

void TestEngine::changed() {
  ++m_generation;
  save();
}

void TestEngine::addVolume(const std::string& device, const std::string& mountPoint) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_volumes.push_back(Volume{device, mountPoint, "", "", false, false});
  changed();
}

void TestEngine::addGpfsFileSystem(const std::string& device, const std::string& mountPoint) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_volumes.push_back(Volume{device, mountPoint, "", "", true, false});
  changed();
}

void TestEngine::addNestedVolume(const std::string& parent, const std::string& device, const std::string& mountPath) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_volumes.push_back(Volume{device, "", mountPath, parent, true, false});
  changed();
}

void TestEngine::addNullNestedVolume(const std::string& parent) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_volumes.push_back(Volume{"", "", "", parent, true, true});
  changed();
}

void TestEngine::addSnapshot(const std::string& origin, const std::string& snapName, const std::string& device,
                             const std::string& mountDir) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_snapshots.push_back(Snapshot{snapName, device, origin, mountDir, !mountDir.empty(), ""});
  changed();
}

void TestEngine::setDamage(const std::string& snapName, const std::string& why) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  for (auto& s : m_snapshots) {
    if (s.name == snapName) s.damage = why;
  }
  changed();
}

void TestEngine::addMount(const std::string& device, const std::string& mountPoint, const std::string& root) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_extraMounts.push_back(MountEntry{device, mountPoint, "testfs", root});
  changed();
}

void TestEngine::markMountTableChanged() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  ++m_generation;
}

void TestEngine::setHidden(const std::string& device, bool hidden) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  for (auto& v : m_volumes) {
    if (v.device == device) v.hidden = hidden;
  }
  changed();
}

void TestEngine::setSnapDeviceFormat(const std::string& format) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_snapDeviceFormat = format;
}

void TestEngine::inject(Call call, int nth, Fault fault, std::string arg, std::function<void()> callback) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_injections.push_back(Injection{call, nth, fault, std::move(arg), std::move(callback)});
}

std::vector<std::string> TestEngine::calls() const {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return m_calls;
}

std::vector<std::string> TestEngine::callsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  for (auto& c : calls()) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

std::vector<TestEngine::Snapshot> TestEngine::snapshots() const {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return m_snapshots;
}

bool TestEngine::hasSnapshot(const std::string& snapName) const {
  for (auto& s : snapshots()) {
    if (s.name == snapName) return true;
  }
  return false;
}

std::vector<TestEngine::Injection> TestEngine::enter(Call call, const std::string& text) {
  std::vector<Injection> fired;
  {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    int n = ++m_counts[call];
    m_calls.push_back(text);
    for (auto& i : m_injections) {
      if (i.call == call && (i.nth == 0 || i.nth == n)) fired.push_back(i);
    }
  }
  for (auto& i : fired) {
    if (i.fault == Fault::Before && i.callback) i.callback();
    if (i.fault == Fault::ThrowZr) throw ZrException(i.arg);
    if (i.fault == Fault::ThrowOther) throw std::runtime_error(i.arg);
  }
  return fired;
}

void TestEngine::runAfter(const std::vector<Injection>& fired) {
  for (auto& i : fired) {
    if (i.fault == Fault::After && i.callback) i.callback();
  }
}

bool TestEngine::fires(const std::vector<Injection>& fired, Fault f, std::string* arg) {
  for (auto& i : fired) {
    if (i.fault != f) continue;
    if (arg) *arg = i.arg;
    return true;
  }
  return false;
}

SP<Snap> TestEngine::makeSnap(const Snapshot& s) {
  return SP<Snap>(new Snap(shared_from_this(), s.device, s.name, s.name));
}

SP<LV> TestEngine::makeLV(const Volume& v, FLR_SNAP_ENG kind) {
  SP<LV> lv(new LV(shared_from_this(), v.device, v.device));
  lv->mountPath = v.mountPath;
  for (auto& s : m_snapshots) {
    if (s.origin == v.device) lv->snaps.push_back(makeSnap(s));
  }
  if (kind != FLR_SNAP_ENG_GPFS) return lv;
  for (auto& child : m_volumes) {
    if (child.parent != v.device) continue;
    lv->childLVs.push_back(child.null ? SP<LV>() : makeLV(child, kind));
    if (child.null) continue;
    // The clean-up search walks only the file systems: give them their filesets' snapshots too.
    for (auto& s : lv->childLVs.back()->snaps) lv->snaps.push_back(s);
  }
  return lv;
}

std::list<SP<LV>> TestEngine::listVolumes(FLR_SNAP_ENG kind) {
  auto fired = enter(Call::ListVolumes, "listVolumes " + std::to_string(static_cast<int>(kind)));
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  std::list<SP<LV>> out;
  for (auto& v : m_volumes) {
    if (v.gpfs == (kind == FLR_SNAP_ENG_GPFS) && v.parent.empty() && !v.hidden) out.push_back(makeLV(v, kind));
  }
  runAfter(fired);
  return out;
}

std::vector<RecordedSnap> TestEngine::findRecorded(FLR_SNAP_ENG, const std::vector<std::string>& specials) {
  auto fired = enter(Call::FindRecorded, "findRecorded " + std::to_string(specials.size()));
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  std::string hidden;
  for (auto& v : m_volumes) {
    if (v.hidden) hidden += (hidden.empty() ? "" : ", ") + v.device;
  }
  std::vector<RecordedSnap> out(specials.size());
  for (size_t i = 0; i < specials.size(); ++i) {
    const RDEV wanted(specials[i]);
    for (auto& s : m_snapshots) {
      SP<Snap> snap = makeSnap(s);
      if (out[i].snap || !namesSnapshot(wanted, specials[i], *snap)) continue;
      out[i].presence = Presence::Present;
      out[i].snap = snap;
    }
    if (out[i].snap) continue;
    if (m_volumes.empty() || !hidden.empty()) {
      out[i].reason = m_volumes.empty() ? "the test engine has no volumes" : "volumes " + hidden + " are hidden";
    } else {
      out[i].presence = Presence::Absent;
      out[i].reason = "the test engine has no snapshot " + specials[i];
    }
  }
  runAfter(fired);
  return out;
}

std::string TestEngine::snapshotSpecial(const LV&, const std::string& snapName) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return Replace(m_snapDeviceFormat, "{name}", snapName);
}

void TestEngine::setSpaceShortfall(const std::string& why) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  m_shortfall = why;
}

std::string TestEngine::spaceShortfall(const std::list<SP<LV>>&, uint32_t) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return m_shortfall;
}

std::string TestEngine::damage(const Snap& snap) {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  for (auto& s : m_snapshots) {
    if (s.name == snap.id) return s.damage;
  }
  return {};
}

bool TestEngine::isMountedAt(const Snap& snap, const std::string& dir) {
  auto all = table();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (it->mountPoint == dir) return RDEV(it->device) == snap.rdev;
  }
  return false;
}

SP<Snap> TestEngine::createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& snapName,
                                std::string& mountDir) {
  auto fired = enter(Call::CreateSnap,
                     "createSnap " + origin.id + " " + snapName + " " + mountDir + " " + std::to_string(cowSizeMB));
  SP<Snap> snap;
  {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (hasSnapshot(snapName)) throw ZrException("Snapshot " + snapName + " already exists", EEXIST);
    fires(fired, Fault::ChangeMountDir, &mountDir);
    Snapshot s{snapName, Replace(m_snapDeviceFormat, "{name}", snapName), origin.id, mountDir, true, ""};
    m_snapshots.push_back(s);
    changed();
    snap = makeSnap(s);
  }
  runAfter(fired);
  return snap;
}

bool TestEngine::isMounted(const Snap& snap) {
  auto fired = enter(Call::IsMounted, "isMounted " + snap.id);
  if (fires(fired, Fault::ReturnFalse)) return false;
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  for (auto& s : m_snapshots) {
    if (s.name == snap.id) return s.mounted;
  }
  return false;
}

void TestEngine::deleteSnap(const Snap& snap) {
  auto fired = enter(Call::DeleteSnap, "deleteSnap " + snap.id);
  {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (!isManagerSnapshotName(snap.id)) {
      throw ZrException("Refusing to delete " + snap.id + ": the snapshot manager did not create it");
    }
    for (auto it = m_snapshots.begin(); it != m_snapshots.end(); ++it) {
      if (it->name != snap.id) continue;
      if (it->mounted) throw ZrException("Cannot delete " + snap.id + ": it is mounted on " + it->mountDir, EBUSY);
      m_snapshots.erase(it);
      changed();
      runAfter(fired);
      return;
    }
  }
  throw ZrException("Cannot delete " + snap.id + ": no such snapshot", ENOENT);
}

UnmountResult TestEngine::unMount(const std::string& dir, std::string& why) {
  auto fired = enter(Call::UnMount, "unMount " + dir);
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  for (auto& s : m_snapshots) {
    if (!s.mounted || s.mountDir != dir) continue;
    if (fires(fired, Fault::ReturnFalse)) {
      why = "target is busy";
      return UnmountResult::Failed;
    }
    s.mounted = false;
    changed();
    runAfter(fired);
    return UnmountResult::Unmounted;
  }
  why = "no snapshot is mounted on " + dir;
  return UnmountResult::NotOurs;
}

std::vector<MountEntry> TestEngine::mountTable() {
  enter(Call::MountTable, "mountTable");
  return table();
}

std::vector<MountEntry> TestEngine::table() const {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  std::vector<MountEntry> out;
  for (auto& v : m_volumes) {
    if (!v.mountPoint.empty()) out.push_back(MountEntry{v.device, v.mountPoint, v.gpfs ? "gpfs" : "testfs", "/"});
  }
  out.insert(out.end(), m_extraMounts.begin(), m_extraMounts.end());
  for (auto& s : m_snapshots) {
    if (s.mounted) out.push_back(MountEntry{s.device, s.mountDir, "testfs", "/"});
  }
  return out;
}

uint64_t TestEngine::mountTableGeneration() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  return m_generation;
}

void TestEngine::save() const {
  if (m_stateFile.empty()) return;
  nlohmann::json j;
  j["volumes"] = nlohmann::json::array();
  for (auto& v : m_volumes) {
    j["volumes"].push_back({{"device", v.device},
                            {"mountPoint", v.mountPoint},
                            {"mountPath", v.mountPath},
                            {"parent", v.parent},
                            {"gpfs", v.gpfs},
                            {"null", v.null},
                            {"hidden", v.hidden}});
  }
  j["snapshots"] = nlohmann::json::array();
  for (auto& s : m_snapshots) {
    j["snapshots"].push_back({{"name", s.name},
                              {"device", s.device},
                              {"origin", s.origin},
                              {"mountDir", s.mountDir},
                              {"mounted", s.mounted},
                              {"damage", s.damage}});
  }
  j["mounts"] = nlohmann::json::array();
  for (auto& m : m_extraMounts) {
    j["mounts"].push_back({{"device", m.device}, {"mountPoint", m.mountPoint}, {"root", m.root}});
  }
  // A forked child may die at any step: the parent must find a whole state.
  if (int err = zr::ReplaceDurably(m_stateFile, j.dump())) throw ZrException("Cannot save " + m_stateFile, err);
}

void TestEngine::load() {
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  std::ifstream in(m_stateFile);
  auto j = nlohmann::json::parse(in);
  m_volumes.clear();
  m_snapshots.clear();
  m_extraMounts.clear();
  for (auto& v : j["volumes"]) {
    m_volumes.push_back(Volume{v["device"], v["mountPoint"], v["mountPath"], v["parent"], v["gpfs"], v["null"],
                               v.value("hidden", false)});
  }
  for (auto& s : j["snapshots"]) {
    m_snapshots.push_back(
        Snapshot{s["name"], s["device"], s["origin"], s["mountDir"], s["mounted"], s.value("damage", "")});
  }
  for (auto& m : j["mounts"]) {
    m_extraMounts.push_back(MountEntry{m["device"], m["mountPoint"], "testfs", m.value("root", "/")});
  }
  ++m_generation;
}
}  // namespace FlrSnapOS
