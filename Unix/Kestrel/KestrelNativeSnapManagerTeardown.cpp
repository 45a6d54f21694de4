// SPDX-License-Identifier: Apache-2.0
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "FlrSnapOSEngine.h"
#include "Kestrel/KestrelNativeSnapManagerPrivate.h"
#include "Kestrel/ManagerSignatures.h"
#include "Kestrel/SnapRecordFile.h"
#include "zr/CNeDirectory.h"
#include "zr/FXErrorUtil.h"
#include "zr/FXString.h"
#include "zr/LogWriter.h"
#include "zr/ZrException.h"

using namespace ManagerSignatures;

namespace {
const char* kSigCleanup = kCleanup;
const char* kSigCleanupSnap = kCleanupSnap;
const char* kSigUnMount = kUnMount;

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (auto& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}

// One well-formed line of the record file.
struct Entry {
  std::string line, source, device, mountDir;
};
}  // namespace

CNeError CKestrelNativeSnapManagerPrivate::UnMountSnap() {
  CNeError err = Cleanup();
  // The job is over: the next one may use the record file.
  if (!err.IsError() || err.Code() != EBUSY) m_recordLock.reset();
  if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigUnMount));
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::Cleanup() {
  CleanupReport report;
  CNeError err = RunCleanup(report);
  if (err.IsError() || report.damaged.empty()) return err;
  std::string message = "The backup read from these snapshots is incomplete: " + Joined(report.damaged);
  ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "%s", message.c_str());
  return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigCleanup), EIO, message);
}

// A failed job hands out nothing it rolled back: a retry on this manager must
// snapshot those volumes again, not report their removed snapshots as made.
void CKestrelNativeSnapManagerPrivate::RollBack() {
  CleanupReport report;
  RunCleanup(report);
  for (auto& source : report.cleared) m_sourceToLocalMap.erase(source);
}

CNeError CKestrelNativeSnapManagerPrivate::RunCleanup(CleanupReport& report) {
  if (m_strSnapInfoFile.empty()) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, kNoRecordPath);
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigCleanup), kEINVAL, kNoRecordPath);
  }
  CNeError locked = HoldRecordLock(kSigCleanup);
  if (locked.IsError()) return locked.Push(FX_CODE_LOCATION(kFile, kSigCleanup));

  // Read whole before anything changes: a record that cannot be read is kept
  // as it is, since every snapshot it names would leak with it.
  std::vector<std::string> lines;
  if (int err = SnapRecordFile::ReadLines(m_strSnapInfoFile, lines)) {
    std::string message = ZrErrnoText("Cannot read the snap record file " + m_strSnapInfoFile, err) +
                          ". It is kept as it is, and the snapshots it names stay in place until it can be read";
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "%s", message.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigCleanup), err, message);
  }
  std::vector<Entry> entries;
  std::vector<std::string> specials;
  for (auto& line : lines) {
    std::vector<std::string> fields;
    if (FXString::Split(line, ":", fields, 0) != 3) {
      ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Invalid entry in %s", m_strSnapInfoFile.c_str());
      continue;
    }
    entries.push_back(Entry{line, fields[0], fields[1], fields[2]});
    specials.push_back(fields[1]);
  }
  // Asked once for every entry, before any of them is acted on.
  std::vector<FlrSnapOS::RecordedSnap> found = FlrSnapOS::findRecorded(EngineSlot(), specials);

  // The last occurrences of a taken name's line are this manager's: they
  // leave the record untouched, since a later process would not know whose
  // snapshot the line names.
  std::vector<bool> taken(entries.size(), false);
  std::multiset<std::string> toSkip = m_takenLines;
  for (size_t i = entries.size(); i-- > 0;) {
    auto it = toSkip.find(entries[i].line);
    if (it == toSkip.end()) continue;
    taken[i] = true;
    toSkip.erase(it);
  }

  std::vector<std::string> kept;
  std::vector<std::string> removed;
  std::set<std::string> removedNow;  // a duplicate entry finds its snapshot gone
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (removedNow.count(e.device)) found[i] = FlrSnapOS::RecordedSnap{FlrSnapOS::Presence::Absent, {}, ""};
    if (taken[i]) {
      report.cleared.push_back(e.source);
      continue;
    }
    Outcome outcome = SettleEntry(found[i], e.device, e.mountDir, report.damaged);
    if (outcome == Outcome::Removed) removedNow.insert(e.device);
    (outcome == Outcome::Removed ? removed : kept).push_back(e.line);
    if (outcome == Outcome::Kept) report.live.push_back(e.line);
    if (outcome != Outcome::Kept) report.cleared.push_back(e.source);
  }
  if (WriteCleanupResult(kept, removed)) m_takenLines.clear();
  return CNeError::Success();
}

// The entries still to remove replace the record in one rename; until then the
// record holds every entry, so a kill never loses one.
bool CKestrelNativeSnapManagerPrivate::WriteCleanupResult(const std::vector<std::string>& kept,
                                                          const std::vector<std::string>& removed) {
  const std::string failPath = m_strSnapInfoFile + ".fail";
  const int failed = SnapRecordFile::Rewrite(m_strSnapInfoFile, kept, failPath);
  if (failed) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Could not replace %s with %s: %s. It keeps all its entries for the next run",
           m_strSnapInfoFile.c_str(), failPath.c_str(), std::strerror(failed));
  }
  const std::string donePath = m_strSnapInfoFile + ".done";
  if (int err = SnapRecordFile::Rewrite(donePath, removed, donePath + ".tmp")) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Could not write %s: %s", donePath.c_str(), std::strerror(err));
  }
  return failed == 0;
}

bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::list<SP<FlrSnapOS::LV>>& list, std::string& device,
                                                   std::string& mountDir) {
  std::list<SP<FlrSnapOS::Snap>>* owner = nullptr;
  SP<FlrSnapOS::Snap> snap = FindRecordedSnap(list, device, owner);
  // Not in the list proves nothing: the list may have left its volume out.
  if (!snap) return false;
  std::vector<std::string> damaged;
  if (RemovePresentSnap(*snap, device, mountDir, damaged) != Outcome::Removed) return false;
  owner->remove(snap);
  return true;
}

SP<FlrSnapOS::Snap> CKestrelNativeSnapManagerPrivate::FindRecordedSnap(std::list<SP<FlrSnapOS::LV>>& list,
                                                                       const std::string& device,
                                                                       std::list<SP<FlrSnapOS::Snap>>*& owner) {
  // The identity is built once, and only when there is a snapshot to compare.
  std::unique_ptr<FlrSnapOS::RDEV> wanted;
  for (auto& lv : list) {
    for (auto& candidate : lv->snaps) {
      if (!wanted) wanted.reset(new FlrSnapOS::RDEV(device));
      if (FlrSnapOS::namesSnapshot(*wanted, device, *candidate)) {
        owner = &lv->snaps;
        return candidate;
      }
    }
  }
  return SP<FlrSnapOS::Snap>();
}

CKestrelNativeSnapManagerPrivate::Outcome CKestrelNativeSnapManagerPrivate::SettleEntry(
    const FlrSnapOS::RecordedSnap& found, const std::string& device, const std::string& mountDir,
    std::vector<std::string>& damaged) {
  switch (found.presence) {
    case FlrSnapOS::Presence::Present:
      return RemovePresentSnap(*found.snap, device, mountDir, damaged);
    case FlrSnapOS::Presence::Absent: {
      // Known gone: only the folder the job made for it may be left.
      std::string left = RemoveMountFolder(mountDir);
      if (left.empty()) return Outcome::Gone;
      ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Keeping the entry of %s: its snapshot is gone (%s), but %s",
             device.c_str(), found.reason.c_str(), left.c_str());
      return Outcome::Kept;
    }
    case FlrSnapOS::Presence::Unknown:
      break;
  }
  ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap,
         "Keeping the entry of %s: cannot tell whether its snapshot is gone: %s. The next run asks again",
         device.c_str(), found.reason.c_str());
  return Outcome::Kept;
}

std::string CKestrelNativeSnapManagerPrivate::RemoveMountFolder(const std::string& dir) {
  // Only a folder named as the manager names its own: a forged or mistaken
  // line must not make it remove someone else's empty folder.
  const std::string base = dir.substr(dir.rfind('/') + 1);
  if (dir.empty() || !FlrSnapOS::isManagerSnapshotName(base)) return "";
  if (::rmdir(dir.c_str()) == 0 || errno == ENOENT) return "";
  return ZrErrnoText("its mount directory " + dir + " cannot be removed", errno);
}

CKestrelNativeSnapManagerPrivate::Outcome CKestrelNativeSnapManagerPrivate::RemovePresentSnap(
    FlrSnapOS::Snap& snap, const std::string& device, const std::string& mountDir, std::vector<std::string>& damaged) {
  const std::string special = snap.rdev.getSpecial();
  std::string damage;
  try {
    damage = snap.damage();
  } catch (const ZrException& e) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Cannot tell whether %s is whole. %s", special.c_str(),
           e.formatError().c_str());
  }
  if (!damage.empty()) damaged.push_back(special + " (" + damage + ")");
  // What the backup cost in snapshot space: the figure to size the next one by.
  const std::string used = snap.usage();
  if (!used.empty()) ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Snapshot %s used %s", special.c_str(), used.c_str());

  if (snap.isMounted()) {
    Outcome unmounted = UnmountRecordedSnap(snap, mountDir);
    if (unmounted != Outcome::Removed) return unmounted;
  }
  try {
    snap.deleteSnap();
    ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Deleted snap %s", special.c_str());
  } catch (const ZrException& e) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to delete snapshot %s. %s", device.c_str(), e.formatError().c_str());
    return Outcome::Kept;
  }
  std::string left = RemoveMountFolder(mountDir);
  if (left.empty()) return Outcome::Removed;
  ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Keeping the entry of %s: the snapshot is deleted, but %s", device.c_str(),
         left.c_str());
  return Outcome::Kept;
}

CKestrelNativeSnapManagerPrivate::Outcome CKestrelNativeSnapManagerPrivate::UnmountRecordedSnap(
    FlrSnapOS::Snap& snap, const std::string& mountDir) {
  const std::string special = snap.rdev.getSpecial();
  // A record line may pair this snapshot with a directory where something
  // else is mounted (a forged or mixed-up line): never unmount that.
  if (!snap.isMountedAt(mountDir)) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Not unmounting %s: %s is mounted, but not there. The entry is kept",
           mountDir.c_str(), special.c_str());
    return Outcome::Kept;
  }
  try {
    if (!FlrSnapOS::unMount(mountDir)) {
      ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to umount %s", mountDir.c_str());
      return Outcome::Kept;
    }
  } catch (const ZrException& e) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to unmount %s. %s", mountDir.c_str(), e.formatError().c_str());
    return Outcome::Kept;
  }
  ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Unmounted %s from %s", special.c_str(), mountDir.c_str());
  // Gone with the unmount, so that a failed delete leaves no folder to look into.
  std::string left = RemoveMountFolder(mountDir);
  if (!left.empty()) ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "After unmounting %s, %s", special.c_str(), left.c_str());
  return Outcome::Removed;
}
