// SPDX-License-Identifier: Apache-2.0
#include "Kestrel/KestrelNativeSnapManagerPrivate.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "BlockStack.h"
#include "CXHSMMntTab.h"
#include "Kestrel/ManagerSignatures.h"
#include "Kestrel/SnapRecordFile.h"
#include "NativeSnapRDEVCompare.h"
#include "zr/CNeDirectory.h"
#include "zr/CNeLibrary.h"
#include "zr/DurableFile.h"
#include "zr/FXErrorUtil.h"
#include "zr/FXPath.h"
#include "zr/FXString.h"
#include "zr/LogWriter.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

using namespace ManagerSignatures;

namespace {
const char* kSigInitialize = kInitialize;
const char* kSigIsPossible = kIsPossible;
const char* kSigFindLV = kFindLV;
const char* kSigCreate = kCreate;
const char* kSigSnapAndMount = kSnapAndMount;
const char* kSigSave = kSave;
const char* kSigFreeze = kFreeze;

// How many names a snapshot may try when each turns out taken (another node
// of a cluster chose the same one at the same instant).
const int kNameAttempts = 8;

// Entry point of the data-classification library; shared by every manager.
using FreezeFunction = bool (*)(const char*, const char*, int*, int, std::string&);
FreezeFunction Freeze = nullptr;

// (seconds << 12 | microseconds mod 4096) in 32-bit arithmetic.
uint32_t SnapNumberNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return (static_cast<uint32_t>(now.tv_sec) << 12) | (static_cast<uint32_t>(now.tv_usec) & 0xfffu);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What an administrator does about a lock file that is not this user's own.
std::string LockFileHint(const std::string& path, int err) {
  if (err == EPERM) {
    return ": it belongs to another user. If no job of that user runs, remove it (rm " + path +
           ") or run this job as that user";
  }
  if (err == EMLINK)
    return ": it has other names (a hard link), so it may be another file. Remove it (rm " + path + ")";
  return "";
}

const char kUnrecordable[] = " contains ':' or a line break, which the snap record file cannot hold";

// One table per process. It is re-read only when the mount table changed, so
// a long-running agent sees file systems mounted after its first job.
CXHSMMntTab& MountTable() {
  static CXHSMMntTab tab;
  return tab;
}

// The folder of the snapshot that shows what volume shows. A bind mount of a
// sub-folder shows that folder of its file system (its root in the mount
// table), while the snapshot's mount shows the whole file system. "" with why
// when the snapshot has no such folder (the bind mount's folder was deleted).
std::string ContentDirectory(const std::string& volume, const std::string& mountDir, std::string& why) {
  std::shared_ptr<const CXHSMMntTab::Entry> entry;
  try {
    MountTable().refreshIfChanged();
    entry = MountTable().find(volume.c_str());
  } catch (const ZrException& e) {
    why = "the mount table cannot be read: " + e.formatError();
    return "";
  }
  // Not a mount point (a GPFS fileset's junction): the snapshot directory is the fileset's own.
  if (!entry || entry->root.empty() || entry->root == "/") return mountDir;
  const std::string dir = mountDir + entry->root;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    const int err = errno;
    why = ZrErrnoText(
        volume + " shows the folder " + entry->root + " of its file system, and the snapshot has no " + dir, err);
    return "";
  }
  if (!S_ISDIR(st.st_mode)) {
    why = volume + " shows " + entry->root + " of its file system, which is not a folder";
    return "";
  }
  return dir;
}
}  // namespace

CKestrelNativeSnapManagerPrivate::CKestrelNativeSnapManagerPrivate() : m_bUseDC(false), m_nSnapCowSizeMB(4096) {}

CKestrelNativeSnapManagerPrivate::~CKestrelNativeSnapManagerPrivate() = default;

std::map<std::string, std::string> CKestrelNativeSnapManagerPrivate::GetSourceToLocalMap() {
  return m_sourceToLocalMap;
}

std::string CKestrelNativeSnapManagerPrivate::GetLastError() { return m_strLastError; }

void CKestrelNativeSnapManagerPrivate::SetSnapInfoFile(std::string& path) { m_strSnapInfoFile = path; }

void CKestrelNativeSnapManagerPrivate::SetSnapMapInfoFile(std::string& path) { m_strSnapMapInfoFile = path; }

std::string CKestrelNativeSnapManagerPrivate::getSnapDevPrefix() { return "zrks_"; }

void CKestrelNativeSnapManagerPrivate::getLVList(std::list<SP<FlrSnapOS::LV>>& out) { out = FlrSnapOS::getLVList(); }

// ---------------------------------------------------------------- Initialize

CNeError CKestrelNativeSnapManagerPrivate::Initialize(bool useDC, std::string snapInfoFile, std::string snapMapInfoFile,
                                                      std::string mountRoot) {
  // A new job: nothing of an earlier job on this manager carries over.
  m_sourceToLocalMap.clear();
  m_frozenVolumes.clear();
  m_strLastError.clear();
  m_bUseDC = useDC;
  m_strSnapInfoFile = snapInfoFile;
  m_strSnapMapInfoFile = snapMapInfoFile;
  m_strMountRoot = mountRoot;

  // Another job's snapshots are recorded there: touch nothing of it.
  CNeError locked = HoldRecordLock(kSigInitialize);
  if (locked.IsError()) return locked.Push(FX_CODE_LOCATION(kFile, kSigInitialize));
  WarnIfExposed();

  CleanupReport report;
  CNeError cleaned = RunCleanup(report);
  const bool unreadable = cleaned.IsError() && !m_strSnapInfoFile.empty();
  if (!unreadable) CarryLiveEntriesForward(report.live);
  ::unlink(m_strSnapMapInfoFile.c_str());
  ::unlink((m_strSnapInfoFile + ".done").c_str());

  ReadCowSize();
  if (m_bUseDC) LoadDataClassification();
  // The record could not be read, so the snapshots it names could not be removed.
  if (unreadable) return cleaned.Push(FX_CODE_LOCATION(kFile, kSigInitialize));
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::HoldRecordLock(const char* signature) {
  if (m_strSnapInfoFile.empty()) return CNeError::Success();
  const std::string path = m_strSnapInfoFile + ".lock";
  if (m_recordLock && m_recordLock->path() == path) return CNeError::Success();
  m_recordLock.reset();
  pid_t holder = 0;
  int err = 0;
  m_recordLock = zr::FileLock::TryAcquire(path, holder, err);
  if (m_recordLock) return CNeError::Success();
  const bool held = err == EWOULDBLOCK;
  m_strLastError =
      held ? "The snap record file " + m_strSnapInfoFile + " is in use by " +
                 (holder > 0 ? "process " + std::to_string(holder) : std::string("another job")) +
                 ": its snapshots are left alone"
           : ZrErrnoText("Cannot lock the snap record file " + m_strSnapInfoFile + " through " + path, err) +
                 LockFileHint(path, err);
  ZR_LOG(ZR_LOG_ERROR, signature, "%s", m_strLastError.c_str());
  return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, signature), held ? EBUSY : err, m_strLastError);
}

// Others who can write the state folder can plant links under the names of the
// record files; others who can enter the mount root can read, in a mounted
// snapshot, files that the origin hid from them behind a private folder.
void CKestrelNativeSnapManagerPrivate::WarnIfExposed() {
  struct stat st {};
  const std::string folder = FolderOf(m_strSnapInfoFile);
  if (::stat(folder.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize,
           "The folder %s that holds the snap record file can be written by other users (mode %03o): give it to "
           "this user alone",
           folder.c_str(), static_cast<unsigned>(st.st_mode & 0777));
  }
  if (!m_strMountRoot.empty() && ::stat(m_strMountRoot.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO))) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize,
           "The mount root %s can be entered by other users (mode %03o): snapshots mounted under it show them "
           "files that private folders of the origin hide. Make it mode 700",
           m_strMountRoot.c_str(), static_cast<unsigned>(st.st_mode & 0777));
  }
}

// The job starts without a record file, except for snapshots that still exist:
// dropping those would leak them for good, so they stay recorded for the next run.
void CKestrelNativeSnapManagerPrivate::CarryLiveEntriesForward(const std::vector<std::string>& live) {
  if (m_strSnapInfoFile.empty()) return;
  if (live.empty()) {
    ::unlink(m_strSnapInfoFile.c_str());
    return;
  }
  for (auto& line : live) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize, "Keeping %s in %s: its snapshot still exists and could not be removed",
           line.c_str(), m_strSnapInfoFile.c_str());
  }
  if (int err = SnapRecordFile::Rewrite(m_strSnapInfoFile, live, m_strSnapInfoFile + ".tmp")) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize, "Could not rewrite %s: %s. It keeps all its entries for the next run",
           m_strSnapInfoFile.c_str(), std::strerror(err));
  }
}

void CKestrelNativeSnapManagerPrivate::ReadCowSize() {
  ZRPlatformInfo config;
  if (config.getNumber("TLM", "nSnapCowSizeMB", &m_nSnapCowSizeMB)) return;
  if (config.getNumber("FileSystemAgent", "nSnapCowSizeMB", &m_nSnapCowSizeMB)) return;
  ZR_LOG(ZR_LOG_PROGRESS, kSigInitialize, "Could not get COW size from registry key %s/%s or %s/%s. Defaulting to %lu.",
         "TLM", "nSnapCowSizeMB", "FileSystemAgent", "nSnapCowSizeMB", m_nSnapCowSizeMB);
}

void CKestrelNativeSnapManagerPrivate::LoadDataClassification() {
  CNeLibrary library(false);  // false: the library stays loaded, Freeze stays callable
  std::string name = library.GetLibraryNameForName("udcclient");
  CNeError loaded = library.Load(name, true);
  if (loaded.IsError()) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize,
           "Could not load DataClassification library. DataClassification will not be used.");
    ZR_LOG(ZR_LOG_DETAIL, kSigInitialize, "%s", loaded.Message().c_str());
    m_bUseDC = false;
    return;
  }
  void* address = nullptr;
  if (library.GetAddress("Freeze_n", address).IsError()) {
    ZR_LOG(ZR_LOG_ERROR, kSigInitialize, "Could not obtain address of Freeze. Will not use DataClassification.");
    m_bUseDC = false;
    return;
  }
  Freeze = reinterpret_cast<FreezeFunction>(address);
}

// ---------------------------------------------------------------- eligibility

CNeError CKestrelNativeSnapManagerPrivate::isNativeSnapPossible(std::string& path, SP<FlrSnapOS::LV>& lv) {
  if (path == "/") {
    m_strLastError = "Subclient content belongs to /. Native Snap is not supported on root volume";
    ZR_LOG(ZR_LOG_PROGRESS, kSigIsPossible, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigIsPossible), kEINVAL, m_strLastError);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    m_strLastError = "Unable to stat " + path + ". Cannot create Native Snap";
    ZR_LOG(ZR_LOG_PROGRESS, kSigIsPossible, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigIsPossible), err, m_strLastError);
  }
  CNeError err = FindLV(path, lv);
  if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigIsPossible));
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::FindLV(std::string& path, SP<FlrSnapOS::LV>& lv) {
  std::shared_ptr<const CXHSMMntTab::Entry> entry;
  try {
    CXHSMMntTab& tab = MountTable();
    tab.refreshIfChanged();
    entry = tab.find(path.c_str());
  } catch (...) {
    entry = nullptr;
  }
  if (!entry) {
    m_strLastError = path + " not found in mount point list. Cannot create Native Snap";
    ZR_LOG(ZR_LOG_PROGRESS, kSigFindLV, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigFindLV), kEINVAL, m_strLastError);
  }
  std::string device = entry->device;
  ZR_LOG(ZR_LOG_ERROR, kSigFindLV, "LV Dev Name: '%s', SourceVolume %s", device.c_str(), path.c_str());

  std::list<SP<FlrSnapOS::LV>> volumes;
  getLVList(volumes);
  auto found = std::find_if(volumes.begin(), volumes.end(), NativeSnapRDEVCompare(device));
  if (found == volumes.end()) {
    m_strLastError = "Subclient content " + path + " is not a Native Scan Capable mount path";
    const std::string above = FlrSnapOS::deviceAboveLv(device);
    if (!above.empty()) m_strLastError += ": " + above + ", and only a logical volume itself can be snapshotted";
    ZR_LOG(ZR_LOG_PROGRESS, kSigFindLV, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigFindLV), kEINVAL, m_strLastError);
  }
  ZR_LOG(ZR_LOG_ERROR, kSigFindLV, "%s Found in LV list", device.c_str());
  lv = *found;
  return CNeError::Success();
}

// ---------------------------------------------------------------- creation

CNeError CKestrelNativeSnapManagerPrivate::CreateAndMountSnap(std::list<std::string>& contents) {
  CNeError ready = StartCreation(contents, kSigCreate);
  if (ready.IsError()) return ready.Push(FX_CODE_LOCATION(kFile, kSigCreate));
  std::map<std::string, SP<FlrSnapOS::LV>> volumes;
  for (auto& path : contents) {
    std::string volume;
    CNeError err = FXPath::ZRGetVolumeNameForVolumeMountPoint(path, volume);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigCreate));
    SP<FlrSnapOS::LV> lv;
    err = isNativeSnapPossible(volume, lv);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigCreate));
    volumes[volume] = lv;
  }
  CNeError room = CheckSpace(volumes);
  if (room.IsError()) return room;

  ZRPI_PlatformBase platform;
  for (auto& entry : volumes) {
    if (m_bUseDC) FreezeDC(entry.first, platform.getBaseHomeDirectory());
    CNeError err = SnapAndMount(entry.first, entry.second);
    if (err.IsError()) {
      RollBack();
      return err;
    }
  }
  return CNeError::Success();
}

// A job that cannot finish does not start: a snapshot that runs out of space
// mid-backup is lost, and a full thin pool stops its origin's writes too.
CNeError CKestrelNativeSnapManagerPrivate::CheckSpace(const std::map<std::string, SP<FlrSnapOS::LV>>& volumes) {
  std::list<SP<FlrSnapOS::LV>> origins;
  for (auto& v : volumes) origins.push_back(v.second);
  std::string shortfall;
  try {
    shortfall = FlrSnapOS::spaceShortfall(EngineSlot(), origins, static_cast<uint32_t>(m_nSnapCowSizeMB));
  } catch (const ZrException& e) {
    shortfall = e.formatError();
  }
  if (shortfall.empty()) return CNeError::Success();
  m_strLastError = "Not enough snapshot space for this job, so no snapshot was made: " + shortfall;
  ZR_LOG(ZR_LOG_ERROR, kSigCreate, "%s", m_strLastError.c_str());
  return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigCreate), ENOSPC, m_strLastError);
}

// Before any snapshot: this manager must hold the record file, and no content
// path may hold a line break, which would end up splitting a record line.
CNeError CKestrelNativeSnapManagerPrivate::StartCreation(const std::list<std::string>& contents,
                                                         const char* signature) {
  CNeError locked = HoldRecordLock(signature);
  if (locked.IsError()) return locked;
  for (auto& path : contents) {
    if (path.find_first_of("\r\n") == std::string::npos) continue;
    m_strLastError = "Cannot snapshot the content path " + path + ": it contains a line break";
    ZR_LOG(ZR_LOG_ERROR, signature, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, signature), kEINVAL, m_strLastError);
  }
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::Refuse(const std::string& message, int line) {
  m_strLastError = message;
  ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
  return FXErrorUtil::ErrorErrNo(FXCodeLocation(kFile, kSigSnapAndMount, line), kEINVAL, m_strLastError);
}

// A snapshot that cannot be used is taken away again; its record line goes
// only once it is gone, so a failed undo leaves it named for the next run.
CNeError CKestrelNativeSnapManagerPrivate::UndoAndRefuse(SP<FlrSnapOS::Snap>& snap, std::string& mountDir,
                                                         const std::string& planned, const std::string& line,
                                                         const std::string& message, int codeLine) {
  if (mountDir != planned) RemoveMountFolder(planned);
  std::string special = snap->rdev.getSpecial();
  std::string leak;
  try {
    if (snap->isMounted() && !FlrSnapOS::unMount(mountDir)) {
      leak = "it could not be unmounted from " + mountDir;
    } else {
      snap->deleteSnap();
      leak = RemoveMountFolder(mountDir);
    }
  } catch (const ZrException& e) {
    leak = e.formatError();
  } catch (const std::exception& e) {
    leak = e.what();
  }
  if (leak.empty()) {
    DropRecordLine(line);
    return Refuse(message, codeLine);
  }
  return Refuse(message + ". The snapshot " + special + " was left in place and stays recorded: " + leak, codeLine);
}

// The snapshot's name, and its record line written before the folder the line
// names is made, so that a kill at any moment leaves nothing unrecorded. mkdir
// refuses an existing folder, so the number advances past any that exists.
CNeError CKestrelNativeSnapManagerPrivate::PrepareSnapshot(const std::string& volume, SP<FlrSnapOS::LV>& lv,
                                                           Planned& plan) {
  const std::string prefix = getSnapDevPrefix();
  std::vector<char> text(prefix.size() + 16);
  for (uint32_t number = SnapNumberNow();; ++number) {
    std::snprintf(text.data(), text.size(), "%s%u", prefix.c_str(), number);
    plan.name = text.data();
    plan.dir = m_strMountRoot + "/" + plan.name;
    try {
      plan.special = lv->snapshotSpecial(plan.name);
    } catch (const ZrException& e) {
      return Refuse("Cannot name snapshot " + plan.name + " of " + volume + ": " + e.formatError(), __LINE__);
    }
    if (SnapRecordFile::CannotHold(plan.special)) {
      return Refuse(
          "Cannot record snapshot " + plan.name + " of " + volume + ": its device " + plan.special + kUnrecordable,
          __LINE__);
    }
    plan.line = SnapRecordFile::Line(volume, plan.special, plan.dir);
    if (int err = AppendRecordLine(volume, plan.special, plan.dir)) {
      return Refuse("Cannot record snapshot " + plan.name + " of " + volume + " in " + m_strSnapInfoFile + ": " +
                        std::strerror(err),
                    __LINE__);
    }
    CNeError made = CNeDirectory::CreatePrivate(plan.dir);
    if (!made.IsError()) return CNeError::Success();
    // Nothing of this name was made; a folder already there may be another
    // job's, so a line that stays is never acted on.
    if (DropRecordLine(plan.line)) m_takenLines.insert(plan.line);
    if (made.Code() != EEXIST)
      return Refuse("Unable to create mount directory " + plan.dir + ": " + made.Message(), __LINE__);
  }
}

int CKestrelNativeSnapManagerPrivate::AppendRecordLine(const std::string& source, const std::string& device,
                                                       const std::string& mountDir) {
  const std::string line = SnapRecordFile::Line(source, device, mountDir);
  if (int err = zr::AppendDurably(m_strSnapInfoFile, line + "\n")) {
    ZR_LOG(ZR_LOG_ERROR, kSigSave, "Could not add %s to %s: %s", line.c_str(), m_strSnapInfoFile.c_str(),
           std::strerror(err));
    return err;
  }
  ZR_LOG(ZR_LOG_DETAIL, kSigSave, "Added %s:%s:%s to %s", source.c_str(), device.c_str(), mountDir.c_str(),
         m_strSnapInfoFile.c_str());
  return 0;
}

int CKestrelNativeSnapManagerPrivate::AppendMapLine(const std::string& source, const std::string& mountDir) {
  if (m_strSnapMapInfoFile.empty()) return 0;
  if (int err = zr::AppendDurably(m_strSnapMapInfoFile, "m:" + source + ":" + mountDir + ":\n")) {
    ZR_LOG(ZR_LOG_ERROR, kSigSave, "Could not add the map line of %s to %s: %s", source.c_str(),
           m_strSnapMapInfoFile.c_str(), std::strerror(err));
    return err;
  }
  return 0;
}

CNeError CKestrelNativeSnapManagerPrivate::SnapAndMount(std::string volume, SP<FlrSnapOS::LV>& lv) {
  if (m_sourceToLocalMap.count(volume)) return CNeError::Success();
  if (m_strSnapInfoFile.empty()) return Refuse(kNoRecordPath, __LINE__);
  // Another job's record is not ours to add to.
  CNeError locked = HoldRecordLock(kSigSnapAndMount);
  if (locked.IsError()) return locked;
  if (SnapRecordFile::CannotHold(volume)) {
    return Refuse("Cannot snapshot " + volume + ": the mount point" + kUnrecordable, __LINE__);
  }
  if (SnapRecordFile::CannotHold(m_strMountRoot)) {
    return Refuse("Cannot snapshot " + volume + ": the mount root " + m_strMountRoot + kUnrecordable, __LINE__);
  }
  for (int attempt = 1;; ++attempt) {
    bool taken = false;
    CNeError err = SnapWithName(volume, lv, taken);
    if (!taken || attempt == kNameAttempts) return err;
  }
}

CNeError CKestrelNativeSnapManagerPrivate::SnapWithName(const std::string& volume, SP<FlrSnapOS::LV>& lv, bool& taken) {
  Planned plan;
  CNeError ready = PrepareSnapshot(volume, lv, plan);
  if (ready.IsError()) return ready;

  std::string mountDir = plan.dir;
  SP<FlrSnapOS::Snap> snap;
  try {
    snap = lv->createSnap(static_cast<uint32_t>(m_nSnapCowSizeMB), plan.name, mountDir);
  } catch (const ZrException& e) {
    taken = e.getErrno() == EEXIST;
    return CreationFailed(volume, plan, e.getMessage(), taken);
  } catch (...) {
    return CreationFailed(volume, plan, "Create snap failed for " + volume, taken);
  }
  ZR_LOG(ZR_LOG_PROGRESS, kSigSnapAndMount, "Snap created for %s and mounted at %s. SnapDevice %s. SnapDevSpecial %s",
         volume.c_str(), mountDir.c_str(), plan.name.c_str(), snap->rdev.getSpecial().c_str());

  CNeError recorded = RecordActual(snap, volume, plan.name, plan.line, mountDir, plan.dir);
  if (recorded.IsError()) return recorded;
  std::string why;
  const std::string content = ContentDirectory(volume, mountDir, why);
  if (content.empty()) {
    // The line as RecordActual left it.
    const std::string line = SnapRecordFile::Line(volume, snap->rdev.getSpecial(), mountDir);
    return UndoAndRefuse(snap, mountDir, plan.dir, line,
                         "Cannot hand over snapshot " + plan.name + " of " + volume + ": " + why, __LINE__);
  }
  // The agent reads the map file: a snapshot it does not name is a job that failed.
  if (int err = AppendMapLine(volume, content)) {
    return Refuse("Cannot add the map line of " + volume + " to " + m_strSnapMapInfoFile + ": " + std::strerror(err),
                  __LINE__);
  }
  m_sourceToLocalMap[volume] = content;
  return CNeError::Success();
}

// The record must name the snapshot as it came to be, and a snapshot that is
// already damaged would give an incomplete backup.
CNeError CKestrelNativeSnapManagerPrivate::RecordActual(SP<FlrSnapOS::Snap>& snap, const std::string& volume,
                                                        const std::string& name, const std::string& recorded,
                                                        std::string& mountDir, const std::string& planned) {
  const std::string special = snap->rdev.getSpecial();
  std::string line = recorded;
  // The engine mounted it elsewhere: the folder made for it goes before the
  // line that names it does.
  if (mountDir != planned) RemoveMountFolder(planned);
  if (special + ":" + mountDir != recorded.substr(volume.size() + 1)) {
    if (SnapRecordFile::CannotHold(special) || SnapRecordFile::CannotHold(mountDir)) {
      return UndoAndRefuse(snap, mountDir, planned, line,
                           "Cannot record snapshot " + name + " of " + volume + ": its device " + special +
                               " or mount directory " + mountDir + kUnrecordable,
                           __LINE__);
    }
    line = SnapRecordFile::Line(volume, special, mountDir);
    if (int err = SnapRecordFile::ReplaceLine(m_strSnapInfoFile, recorded, line)) {
      return UndoAndRefuse(
          snap, mountDir, planned, recorded,
          "Cannot record snapshot " + name + " of " + volume + " in " + m_strSnapInfoFile + ": " + std::strerror(err),
          __LINE__);
    }
  }
  std::string damage = snap->damage();
  if (!damage.empty()) {
    return UndoAndRefuse(snap, mountDir, planned, line,
                         "Snapshot " + name + " of " + volume + " cannot be backed up: " + damage, __LINE__);
  }
  return CNeError::Success();
}

// The engine failed. Its line goes only when the engine knows the snapshot is
// not there; otherwise the rollback (or the next start) removes what is.
CNeError CKestrelNativeSnapManagerPrivate::CreationFailed(const std::string& volume, const Planned& plan,
                                                          std::string message, bool& taken) {
  // A taken name is another job's snapshot, and the engine made none: the line
  // must go, or the rollback or teardown would delete theirs. One that cannot
  // go is never acted on, and no other name is tried.
  if (taken) {
    std::string folder = RemoveMountFolder(plan.dir);
    if (!folder.empty()) ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "After a taken name, %s", folder.c_str());
    if (int err = DropRecordLine(plan.line)) {
      m_takenLines.insert(plan.line);
      taken = false;
      message +=
          "; its record line could not be dropped (" + std::string(std::strerror(err)) + "), so no other name is tried";
    }
    m_strLastError = message;
    ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigSnapAndMount), kEINVAL, m_strLastError);
  }
  std::string left = LeftOfFailedSnapshot(plan.special);
  if (left.empty()) left = RemoveMountFolder(plan.dir);
  if (left.empty()) {
    DropRecordLine(plan.line);
  } else {
    ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "The failed snapshot of %s stays recorded in %s: %s", volume.c_str(),
           m_strSnapInfoFile.c_str(), left.c_str());
  }
  m_strLastError = message;
  ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
  return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigSnapAndMount), kEINVAL, m_strLastError);
}

// A line that names nothing of this job: a later teardown would act on it, so
// failing to drop it must be said.
int CKestrelNativeSnapManagerPrivate::DropRecordLine(const std::string& line) {
  int err = SnapRecordFile::ReplaceLine(m_strSnapInfoFile, line, "");
  if (err) {
    ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "Could not drop %s from %s: %s. Remove the line by hand", line.c_str(),
           m_strSnapInfoFile.c_str(), std::strerror(err));
  }
  return err;
}

// A command that failed or timed out may still have made the snapshot: only
// the engine's word that it is not there lets the line go.
std::string CKestrelNativeSnapManagerPrivate::LeftOfFailedSnapshot(const std::string& special) {
  try {
    std::vector<FlrSnapOS::RecordedSnap> found = FlrSnapOS::findRecorded(EngineSlot(), {special});
    if (found.at(0).presence == FlrSnapOS::Presence::Absent) return "";
    if (found[0].presence == FlrSnapOS::Presence::Present) return "the engine reports it";
    return "the engine cannot tell whether it exists: " + found[0].reason;
  } catch (const std::exception& e) {
    return std::string("the engine cannot tell whether it exists: ") + e.what();
  }
}

int CKestrelNativeSnapManagerPrivate::SaveSnapDevInfo(const char* source, const char* device, const char* mountDir) {
  if (m_strSnapInfoFile.empty()) return -1;
  CNeError locked = HoldRecordLock(kSigSave);
  if (locked.IsError()) {
    errno = locked.Code();
    return -2;
  }
  if (int err = AppendRecordLine(source, device, mountDir)) {
    errno = err;
    return -2;
  }
  if (m_strSnapMapInfoFile.empty()) return -1;
  if (int err = AppendMapLine(source, mountDir)) {
    errno = err;
    return -3;
  }
  return 0;
}

// ---------------------------------------------------------------- data classification

CNeError CKestrelNativeSnapManagerPrivate::FreezeDC(const std::string& mountPoint, const char* baseDirectory) {
  if (std::find(m_frozenVolumes.begin(), m_frozenVolumes.end(), mountPoint) != m_frozenVolumes.end()) {
    ZR_LOG(ZR_LOG_DETAIL, kSigFreeze, "DC freeze already done for %s. skipping", mountPoint.c_str());
    return CNeError::Success();
  }
  std::string volume = mountPoint;
  FXString::RemoveRight(volume, "/");
  std::string errorText;
  bool frozen = false;
  if (Freeze) {
    int state = -1;
    frozen = Freeze(volume.c_str(), baseDirectory, &state, 1, errorText);
  } else {
    errorText = "The DataClassification library is not loaded";
  }
  if (frozen) {
    ZR_LOG(ZR_LOG_PROGRESS, kSigFreeze, "DC freeze successful for volume %s", mountPoint.c_str());
    m_frozenVolumes.push_back(mountPoint);
    return CNeError::Success();
  }
  std::string message = "DC Freeze failed for mountpoint " + volume + ". " + errorText;
  ZR_LOG(ZR_LOG_ERROR, kSigFreeze, "%s", message.c_str());
  return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigFreeze), kEINVAL, message);
}

bool CKestrelNativeSnapManagerPrivate::IsDCFreeze(const std::string& volume) {
  for (auto& entry : m_frozenVolumes) {
    if (FXPath::IsSamePathAs(entry, volume)) return true;
  }
  return false;
}
