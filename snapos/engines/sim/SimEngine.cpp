// SPDX-License-Identifier: Apache-2.0
#include "engines/sim/SimEngine.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "engines/sim/TreeCopy.h"
#include "zr/FXPath.h"
#include "zr/Holders.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
const unsigned kBusyTries = 5;
const auto kBusyPause = std::chrono::milliseconds(200);

// As the kernel refuses to unmount a file system that a process uses (its
// working folder, an open file, a mapping in it), a simulated snapshot that a
// process holds is not emptied; the holder may let go in a moment.
bool Busy(const std::string& dir, std::string& why) {
  zr::Holders holders;
  for (unsigned attempt = 1; attempt <= kBusyTries; ++attempt) {
    if (attempt > 1) std::this_thread::sleep_for(kBusyPause);
    holders = zr::ProcessesHolding(dir);
    if (holders.processes.empty()) return false;
  }
  why = std::string(std::strerror(EBUSY)) + "; tried " + std::to_string(kBusyTries) + " times; held by " +
        holders.describe();
  return true;
}
}  // namespace

SimEngine::SimEngine(std::string stateDir) : m_dir(std::move(stateDir)) {
  std::error_code ec;
  std::filesystem::create_directories(m_dir, ec);
  if (ec) throw ZrException("Cannot create the simulated engine's folder " + m_dir, ec.value());
}

std::shared_ptr<SimEngine> SimEngine::FromConfig(const ZRPlatformInfo& config) {
  std::string dir = "/var/lib/zrsnap/sim";
  config.getString("SimEngine", "sStateDir", &dir);
  return std::make_shared<SimEngine>(dir);
}

bool SimEngine::StateStamp::recent() const {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  double age = static_cast<double>(now.tv_sec - seconds) + static_cast<double>(now.tv_nsec - nanoseconds) / 1e9;
  return age < 0.05;
}

SimEngine::StateStamp SimEngine::stampNow() const {
  struct stat st {};
  if (::stat((m_dir + "/state.json").c_str(), &st) != 0) return StateStamp{};
  return StateStamp{st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

// Saves replace the file by rename, so a reader never sees half a state and
// needs no lock. A save makes a new inode, but inodes are reused and time
// stamps are coarse: a stamp only proves "unchanged" once the file is older
// than the time stamps' granularity.
SimState SimEngine::state() const {
  StateStamp stamp = stampNow();
  std::lock_guard<std::mutex> hold(m_cacheLock);
  if (!(stamp == m_cachedStamp) || !m_cached || stamp.recent()) {
    m_cached = std::make_shared<SimState>(SimState::Load(m_dir));
    m_cachedStamp = stamp;
  }
  return *m_cached;
}

void SimEngine::addVolume(const std::string& device, const std::string& path) {
  if (device.empty() || device[0] == '/' || device.find(':') != std::string::npos) {
    throw ZrException("A simulated volume needs a bare device name without '/' or ':', not \"" + device + "\"", EINVAL);
  }
  std::error_code ec;
  std::string canonical = std::filesystem::canonical(path, ec).string();
  if (ec || !std::filesystem::is_directory(canonical)) {
    throw ZrException("Cannot register " + path + " as volume " + device + ": not a directory",
                      ec ? ec.value() : ENOTDIR);
  }
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  for (auto& v : s.volumes) {
    if (v.device == device || v.path == canonical) {
      throw ZrException(
          "Cannot register " + canonical + " as volume " + device + ": " + v.path + " is registered as " + v.device,
          EEXIST);
    }
  }
  s.volumes.push_back(SimState::Volume{device, canonical, true});
  s.save(m_dir);
}

void SimEngine::removeVolume(const std::string& device) {
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  const SimState::Volume* volume = s.volume(device);
  if (!volume) throw ZrException("Cannot remove volume " + device + ": no simulated volume is called so", ENOENT);
  std::string names;
  for (auto& snap : s.snapshots) {
    if (snap.origin == device) names += (names.empty() ? "" : ", ") + snap.name;
  }
  if (!names.empty()) {
    throw ZrException("Cannot remove volume " + device + ": its snapshots " + names + " still exist", EBUSY);
  }
  s.volumes.erase(s.volumes.begin() + (volume - s.volumes.data()));
  s.save(m_dir);
}

void SimEngine::setActive(const std::string& device, bool active) {
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  for (auto& v : s.volumes) {
    if (v.device != device) continue;
    v.active = active;
    s.save(m_dir);
    return;
  }
  throw ZrException("No simulated volume is called " + device, ENOENT);
}

std::list<SP<LV>> SimEngine::listVolumes(FLR_SNAP_ENG) {
  SimState s = state();
  std::list<SP<LV>> out;
  for (auto& v : s.volumes) {
    SP<LV> lv(new LV(shared_from_this(), v.device, v.device));
    for (auto& snap : s.snapshots) {
      if (snap.origin == v.device)
        lv->snaps.push_back(SP<Snap>(new Snap(shared_from_this(), snap.device, snap.name, snap.name)));
    }
    out.push_back(lv);
  }
  return out;
}

std::vector<RecordedSnap> SimEngine::findRecorded(FLR_SNAP_ENG, const std::vector<std::string>& specials) {
  std::vector<RecordedSnap> out(specials.size());
  if (specials.empty()) return out;
  SimState s = state();
  for (size_t i = 0; i < specials.size(); ++i) {
    for (auto& snap : s.snapshots) {
      if (snap.device != specials[i]) continue;
      out[i].presence = Presence::Present;
      out[i].snap = SP<Snap>(new Snap(shared_from_this(), snap.device, snap.name, snap.name));
    }
    if (out[i].snap) continue;
    const size_t at = specials[i].rfind('@');
    const std::string origin = at == std::string::npos ? "" : specials[i].substr(0, at);
    if (s.volume(origin)) {
      out[i].presence = Presence::Absent;
      out[i].reason = "the simulated volume " + origin + " has no snapshot " + specials[i].substr(at + 1);
    } else {
      out[i].reason = "no simulated volume " + (origin.empty() ? specials[i] : origin) + " is registered in " + m_dir;
    }
  }
  return out;
}

std::string SimEngine::snapshotSpecial(const LV& origin, const std::string& name) { return origin.id + "@" + name; }

SP<Snap> SimEngine::createSnap(const LV& origin, uint32_t, const std::string& name, std::string& mountDir) {
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  const SimState::Volume* volume = s.volume(origin.id);
  if (!volume) throw ZrException("Cannot snapshot " + origin.id + ": no such simulated volume", ENOENT);
  if (!volume->active) throw ZrException("Cannot snapshot " + origin.id + ": the volume is not active", ENXIO);
  if (s.snapshot(name)) throw ZrException("Cannot create snapshot " + name + ": it already exists", EEXIST);
  if (!IsEmptyDirectory(mountDir)) {
    throw ZrException("Cannot mount snapshot " + name + " on " + mountDir + ": not an empty directory", ENOTEMPTY);
  }
  // Recorded before the copy, like an LV that exists before it is mounted: the
  // engine never loses track of a snapshot that a killed process began.
  SimState::Snapshot snap{name, snapshotSpecial(origin, name), origin.id, mountDir, true};
  s.snapshots.push_back(snap);
  s.save(m_dir);
  std::string source = volume->path;
  try {
    CopyTree(source, mountDir);
  } catch (const ZrException& e) {
    // Like a snapshot whose mount failed: take it away again before reporting.
    try {
      EmptyDirectory(mountDir);
    } catch (const ZrException& undo) {
      throw ZrException(
          std::string(e.getMessage()) + "; the partial copy stays registered for removal: " + undo.formatError(),
          e.getErrno());
    }
    SimState now = SimState::Load(m_dir);
    if (const SimState::Snapshot* made = now.snapshot(name)) {
      now.snapshots.erase(now.snapshots.begin() + (made - now.snapshots.data()));
      now.save(m_dir);
    }
    throw;
  }
  return SP<Snap>(new Snap(shared_from_this(), snap.device, name, name));
}

bool SimEngine::isMounted(const Snap& snap) {
  SimState s = state();
  SimState::Snapshot* found = s.snapshot(snap.id);
  return found && found->mounted;
}

void SimEngine::deleteSnap(const Snap& snap) {
  if (!isManagerSnapshotName(snap.id)) {
    throw ZrException("Refusing to delete " + snap.id + ": the snapshot manager did not create it", EPERM);
  }
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  SimState::Snapshot* found = s.snapshot(snap.id);
  if (!found) throw ZrException("Cannot delete snapshot " + snap.id + ": no such snapshot", ENOENT);
  if (found->mounted)
    throw ZrException("Cannot delete snapshot " + snap.id + ": it is mounted on " + found->mountDir, EBUSY);
  s.snapshots.erase(s.snapshots.begin() + (found - s.snapshots.data()));
  s.save(m_dir);
}

UnmountResult SimEngine::unMount(const std::string& dir, std::string& why) {
  SimLock lock(m_dir);
  SimState s = SimState::Load(m_dir);
  const std::string target = FXPath::Resolve(dir);
  for (auto& snap : s.snapshots) {
    if (!snap.mounted || FXPath::Resolve(snap.mountDir) != target) continue;
    if (Busy(snap.mountDir, why)) return UnmountResult::Failed;
    try {
      EmptyDirectory(snap.mountDir);
    } catch (const ZrException& e) {
      why = e.formatError();
      return UnmountResult::Failed;
    }
    snap.mounted = false;
    s.save(m_dir);
    return UnmountResult::Unmounted;
  }
  why = "no simulated snapshot is mounted on " + dir;
  return UnmountResult::NotOurs;
}

std::vector<MountEntry> SimEngine::mountTable() {
  std::vector<MountEntry> out;
  for (auto& r : zr::ReadMountInfo()) out.push_back(MountEntry{r.source, r.target, r.fstype, r.root});
  SimState s = state();
  for (auto& v : s.volumes) out.push_back(MountEntry{v.device, v.path, "sim", "/"});
  for (auto& snap : s.snapshots) {
    if (snap.mounted) out.push_back(MountEntry{snap.device, snap.mountDir, "sim", "/"});
  }
  return out;
}

uint64_t SimEngine::mountTableGeneration() {
  uint64_t kernel;
  {
    std::lock_guard<std::mutex> hold(m_watchLock);
    kernel = m_kernel.generation();
  }
  StateStamp stamp = stampNow();
  std::lock_guard<std::mutex> hold(m_watchLock);
  if (!(stamp == m_stamp) || stamp.recent()) {
    m_stamp = stamp;
    ++m_stateChanges;
  }
  return (kernel << 32) + m_stateChanges;
}
}  // namespace FlrSnapOS
