#include <cerrno>
#include <cstring>

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

// A recorded device with no node names a snapshot only through the very text
// that was recorded: an inactive snapshot has no node either, and is known by
// its name. Device numbers of 0 never match each other.
bool Names(const FlrSnapOS::RDEV& wanted, const std::string& device, const FlrSnapOS::Snap& candidate) {
  if (!wanted.isUnknownLocal()) return wanted == candidate.rdev;
  return candidate.rdev.isUnknownLocal() && candidate.rdev.getSpecial() == device;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (auto& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}
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
  std::list<SP<FlrSnapOS::LV>> volumes;
  getLVList(volumes);

  std::vector<std::string> kept;
  std::vector<std::string> removed;
  for (auto& line : lines) {
    std::vector<std::string> fields;
    if (FXString::Split(line, ":", fields, 0) != 3) {
      ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Invalid entry in %s", m_strSnapInfoFile.c_str());
      continue;
    }
    Outcome outcome = RemoveRecordedSnap(volumes, fields[1], fields[2], report.damaged);
    (outcome == Outcome::Removed ? removed : kept).push_back(line);
    if (outcome == Outcome::Kept) report.live.push_back(line);
  }
  WriteCleanupResult(kept, removed);
  return CNeError::Success();
}

// The entries still to remove replace the record in one rename; until then the
// record holds every entry, so a kill never loses one.
void CKestrelNativeSnapManagerPrivate::WriteCleanupResult(const std::vector<std::string>& kept,
                                                          const std::vector<std::string>& removed) {
  const std::string failPath = m_strSnapInfoFile + ".fail";
  if (int err = SnapRecordFile::Rewrite(m_strSnapInfoFile, kept, failPath)) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Could not replace %s with %s: %s. It keeps all its entries for the next run",
           m_strSnapInfoFile.c_str(), failPath.c_str(), std::strerror(err));
  }
  const std::string donePath = m_strSnapInfoFile + ".done";
  if (int err = SnapRecordFile::Rewrite(donePath, removed, donePath + ".tmp")) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Could not write %s: %s", donePath.c_str(), std::strerror(err));
  }
}

bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::list<SP<FlrSnapOS::LV>>& list, std::string& device,
                                                   std::string& mountDir) {
  std::vector<std::string> damaged;
  return RemoveRecordedSnap(list, device, mountDir, damaged) == Outcome::Removed;
}

SP<FlrSnapOS::Snap> CKestrelNativeSnapManagerPrivate::FindRecordedSnap(std::list<SP<FlrSnapOS::LV>>& list,
                                                                       const std::string& device,
                                                                       std::list<SP<FlrSnapOS::Snap>>*& owner) {
  // The identity is built once, and only when there is a snapshot to compare.
  std::unique_ptr<FlrSnapOS::RDEV> wanted;
  for (auto& lv : list) {
    for (auto& candidate : lv->snaps) {
      if (!wanted) wanted.reset(new FlrSnapOS::RDEV(device));
      if (Names(*wanted, device, *candidate)) {
        owner = &lv->snaps;
        return candidate;
      }
    }
  }
  return SP<FlrSnapOS::Snap>();
}

CKestrelNativeSnapManagerPrivate::Outcome CKestrelNativeSnapManagerPrivate::RemoveRecordedSnap(
    std::list<SP<FlrSnapOS::LV>>& list, const std::string& device, const std::string& mountDir,
    std::vector<std::string>& damaged) {
  std::list<SP<FlrSnapOS::Snap>>* owner = nullptr;
  SP<FlrSnapOS::Snap> snap = FindRecordedSnap(list, device, owner);
  if (!snap) {
    // No engine in use reports it; dropping the entry while something of it
    // is still there would leak that for good.
    std::string left = FlrSnapOS::leftoversOf(device, mountDir);
    if (left.empty()) return Outcome::Gone;
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Keeping the entry of %s: no snapshot engine in use reports it, but %s",
           device.c_str(), left.c_str());
    return Outcome::Kept;
  }

  const std::string special = snap->rdev.getSpecial();
  std::string damage;
  try {
    damage = snap->damage();
  } catch (const ZrException& e) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Cannot tell whether %s is whole. %s", special.c_str(),
           e.formatError().c_str());
  }
  if (!damage.empty()) damaged.push_back(special + " (" + damage + ")");

  if (snap->isMounted()) {
    Outcome unmounted = UnmountRecordedSnap(*snap, mountDir);
    if (unmounted != Outcome::Removed) return unmounted;
  }
  try {
    snap->deleteSnap();
    // The list was taken at the start of the run: keep it true for later entries.
    owner->remove(snap);
    ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Deleted snap %s", special.c_str());
  } catch (const ZrException& e) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to delete snapshot %s. %s", device.c_str(), e.formatError().c_str());
    return Outcome::Kept;
  }
  return Outcome::Removed;
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
  CNeDirectory::Remove(mountDir, false, false);
  ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Unmounted %s from %s", special.c_str(), mountDir.c_str());
  return Outcome::Removed;
}
