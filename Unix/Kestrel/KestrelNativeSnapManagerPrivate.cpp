#include "Kestrel/KestrelNativeSnapManagerPrivate.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "CXHSMMntTab.h"
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

namespace {
const char kFile[] = "Unix/Kestrel/KestrelNativeSnapManagerPrivate";
const char kSigInitialize[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::Initialize(bool, std::string, std::string, std::string)";
const char kSigIsPossible[] =
    "CNeError CKestrelNativeSnapManagerPrivate::isNativeSnapPossible(std::string&, SP<FlrSnapOS::LV>&)";
const char kSigFindLV[] = "CNeError CKestrelNativeSnapManagerPrivate::FindLV(std::string&, SP<FlrSnapOS::LV>&)";
const char kSigCreate[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::CreateAndMountSnap(std::__cxx11::list<std::__cxx11::basic_"
    "string<char> >&)";
const char kSigSnapAndMount[] =
    "virtual CNeError CKestrelNativeSnapManagerPrivate::SnapAndMount(std::string, SP<FlrSnapOS::LV>&)";
const char kSigSave[] = "int CKestrelNativeSnapManagerPrivate::SaveSnapDevInfo(const char*, const char*, const char*)";
const char kSigCleanup[] = "CNeError CKestrelNativeSnapManagerPrivate::Cleanup()";
const char kSigCleanupSnap[] =
    "bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::__cxx11::list<SP<FlrSnapOS::LV> >&, std::string&, "
    "std::string&)";
const char kSigUnMount[] = "virtual CNeError CKestrelNativeSnapManagerPrivate::UnMountSnap()";
const char kSigFreeze[] = "CNeError CKestrelNativeSnapManagerPrivate::FreezeDC(const string&, const char*)";

const char kNoRecordPath[] = "SnapFileInfo not set";
const int kEINVAL = 22;

// Entry point of the data-classification library; shared by every manager.
using FreezeFunction = bool (*)(const char*, const char*, int*, int, std::string&);
FreezeFunction Freeze = nullptr;

// (seconds << 12 | microseconds mod 4096) in 32-bit arithmetic.
uint32_t SnapNumberNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return (static_cast<uint32_t>(now.tv_sec) << 12) | (static_cast<uint32_t>(now.tv_usec) & 0xfffu);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool HasColon(const std::string& s) { return s.find(':') != std::string::npos; }
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
  m_bUseDC = useDC;
  m_strSnapInfoFile = snapInfoFile;
  m_strSnapMapInfoFile = snapMapInfoFile;
  m_strMountRoot = mountRoot;

  std::vector<std::string> live;
  RunCleanup(&live);
  CarryLiveEntriesForward(live);
  ::unlink(m_strSnapMapInfoFile.c_str());
  ::unlink((m_strSnapInfoFile + ".done").c_str());

  ReadCowSize();
  if (m_bUseDC) LoadDataClassification();
  return CNeError::Success();
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
  std::string text;
  for (auto& line : live) text += line + "\n";
  if (int err = zr::ReplaceDurably(m_strSnapInfoFile, text)) {
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
  // One table per process. It is re-read only when the mount table changed, so
  // a long-running agent sees file systems mounted after its first job.
  static CXHSMMntTab tab;
  std::shared_ptr<const CXHSMMntTab::Entry> entry;
  try {
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
    ZR_LOG(ZR_LOG_PROGRESS, kSigFindLV, "%s", m_strLastError.c_str());
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigFindLV), kEINVAL, m_strLastError);
  }
  ZR_LOG(ZR_LOG_ERROR, kSigFindLV, "%s Found in LV list", device.c_str());
  lv = *found;
  return CNeError::Success();
}

// ---------------------------------------------------------------- creation

CNeError CKestrelNativeSnapManagerPrivate::CreateAndMountSnap(std::list<std::string>& contents) {
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

  ZRPI_PlatformBase platform;
  for (auto& entry : volumes) {
    if (m_bUseDC) FreezeDC(entry.first, platform.getBaseHomeDirectory());
    CNeError err = SnapAndMount(entry.first, entry.second);
    if (err.IsError()) {
      Cleanup();
      return err;
    }
  }
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::Refuse(const std::string& message, int line) {
  m_strLastError = message;
  ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
  return FXErrorUtil::ErrorErrNo(FXCodeLocation(kFile, kSigSnapAndMount, line), kEINVAL, m_strLastError);
}

// A snapshot that no readable record names would leak: take it away again.
CNeError CKestrelNativeSnapManagerPrivate::UndoAndRefuse(SP<FlrSnapOS::Snap>& snap, std::string& mountDir,
                                                         const std::string& planned, const std::string& message,
                                                         int line) {
  if (mountDir != planned) CNeDirectory::Remove(planned, false, false);
  std::string special = snap->rdev.getSpecial();
  std::string leak;
  try {
    if (snap->isMounted() && !FlrSnapOS::unMount(mountDir)) {
      leak = "it could not be unmounted from " + mountDir;
    } else {
      snap->deleteSnap();
      CNeDirectory::Remove(mountDir, false, false);
    }
  } catch (const ZrException& e) {
    leak = e.formatError();
  } catch (const std::exception& e) {
    leak = e.what();
  }
  if (leak.empty()) return Refuse(message, line);
  return Refuse(message + ". The snapshot " + special + " was left in place: " + leak, line);
}

std::string CKestrelNativeSnapManagerPrivate::NewMountDirectory(std::string& name) {
  std::string prefix = getSnapDevPrefix();
  uint32_t number = SnapNumberNow();
  char text[64];
  // Never reuse a directory: advance the number past any that exists.
  for (;;) {
    std::snprintf(text, sizeof text, "%s%u", prefix.c_str(), number);
    std::string dir = m_strMountRoot + "/" + text;
    if (!Exists(dir)) {
      name = text;
      return dir;
    }
    ++number;
  }
}

CNeError CKestrelNativeSnapManagerPrivate::SnapAndMount(std::string volume, SP<FlrSnapOS::LV>& lv) {
  if (m_sourceToLocalMap.count(volume)) return CNeError::Success();
  if (m_strSnapInfoFile.empty()) return Refuse(kNoRecordPath, __LINE__);
  // A record line holds three fields split at ":": a ":" in a field would make it unreadable.
  if (HasColon(volume)) {
    return Refuse(
        "Cannot snapshot " + volume + ": the mount point contains ':', which the snap record file cannot hold",
        __LINE__);
  }
  if (HasColon(m_strMountRoot)) {
    return Refuse("Cannot snapshot " + volume + ": the mount root " + m_strMountRoot +
                      " contains ':', which the snap record file cannot hold",
                  __LINE__);
  }

  std::string name;
  std::string mountDir = NewMountDirectory(name);
  if (CNeDirectory::Create(mountDir, true).IsError())
    return Refuse("Unable to create mount directory " + mountDir, __LINE__);
  const std::string planned = mountDir;

  try {
    SP<FlrSnapOS::Snap> snap = lv->createSnap(static_cast<uint32_t>(m_nSnapCowSizeMB), name, mountDir);
    const std::string special = snap->rdev.getSpecial();
    ZR_LOG(ZR_LOG_PROGRESS, kSigSnapAndMount, "Snap created for %s and mounted at %s. SnapDevice %s. SnapDevSpecial %s",
           volume.c_str(), mountDir.c_str(), name.c_str(), special.c_str());
    if (HasColon(special) || HasColon(mountDir)) {
      return UndoAndRefuse(snap, mountDir, planned,
                           "Cannot record snapshot " + name + " of " + volume + ": its device " + special +
                               " or mount directory " + mountDir +
                               " contains ':', which the snap record file cannot hold",
                           __LINE__);
    }
    if (SaveSnapDevInfo(volume.c_str(), special.c_str(), mountDir.c_str()) == -2) {
      int err = errno;
      return UndoAndRefuse(
          snap, mountDir, planned,
          "Cannot record snapshot " + name + " of " + volume + " in " + m_strSnapInfoFile + ": " + std::strerror(err),
          __LINE__);
    }
    m_sourceToLocalMap[volume] = mountDir;
  } catch (const ZrException& e) {
    m_strLastError = e.getMessage();
    ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
    CNeDirectory::Remove(mountDir, false, false);
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigSnapAndMount), kEINVAL, m_strLastError);
  } catch (...) {
    m_strLastError = "Create snap failed for " + volume;
    ZR_LOG(ZR_LOG_ERROR, kSigSnapAndMount, "%s", m_strLastError.c_str());
    CNeDirectory::Remove(mountDir, false, false);
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigSnapAndMount), kEINVAL, m_strLastError);
  }
  if (mountDir != planned) CNeDirectory::Remove(planned, false, false);
  return CNeError::Success();
}

// ---------------------------------------------------------------- record files

int CKestrelNativeSnapManagerPrivate::SaveSnapDevInfo(const char* source, const char* device, const char* mountDir) {
  if (m_strSnapInfoFile.empty()) return -1;
  std::string record = std::string(source) + ":" + device + ":" + mountDir + "\n";
  if (int err = zr::AppendDurably(m_strSnapInfoFile, record)) {
    ZR_LOG(ZR_LOG_ERROR, kSigSave, "Could not add %s:%s:%s to %s: %s", source, device, mountDir,
           m_strSnapInfoFile.c_str(), std::strerror(err));
    errno = err;
    return -2;
  }
  ZR_LOG(ZR_LOG_DETAIL, kSigSave, "Added %s:%s:%s to %s", source, device, mountDir, m_strSnapInfoFile.c_str());

  if (m_strSnapMapInfoFile.empty()) return -1;
  FILE* map = std::fopen(m_strSnapMapInfoFile.c_str(), "ae");
  if (!map) {
    ZR_LOG(ZR_LOG_ERROR, kSigSave, "Could not open %s: %s", m_strSnapMapInfoFile.c_str(), std::strerror(errno));
    return 0;
  }
  std::fprintf(map, "m:%s:%s:\n", source, mountDir);
  std::fclose(map);
  return 0;
}

// ---------------------------------------------------------------- teardown

CNeError CKestrelNativeSnapManagerPrivate::UnMountSnap() {
  CNeError err = Cleanup();
  if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigUnMount));
  return CNeError::Success();
}

CNeError CKestrelNativeSnapManagerPrivate::Cleanup() { return RunCleanup(nullptr); }

CNeError CKestrelNativeSnapManagerPrivate::RunCleanup(std::vector<std::string>* live) {
  if (m_strSnapInfoFile.empty()) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, kNoRecordPath);
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigCleanup), kEINVAL, kNoRecordPath);
  }
  std::list<SP<FlrSnapOS::LV>> volumes;
  getLVList(volumes);

  const std::string failPath = m_strSnapInfoFile + ".fail";
  FILE* fail = std::fopen(failPath.c_str(), "w+e");
  if (!fail) {
    ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Cannot create %s: %s. %s keeps all its entries for the next run",
           failPath.c_str(), std::strerror(errno), m_strSnapInfoFile.c_str());
  }
  FILE* done = std::fopen((m_strSnapInfoFile + ".done").c_str(), "w+e");

  std::ifstream records(m_strSnapInfoFile);
  for (std::string line; std::getline(records, line);) {
    if (line.empty()) continue;
    std::vector<std::string> fields;
    if (FXString::Split(line, ":", fields, 0) != 3) {
      ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Invalid entry in %s", m_strSnapInfoFile.c_str());
      continue;
    }
    Outcome outcome = RemoveRecordedSnap(volumes, fields[1], fields[2]);
    FILE* to = outcome == Outcome::Removed ? done : fail;
    if (to) std::fprintf(to, "%s\n", line.c_str());
    if (live && outcome == Outcome::Kept) live->push_back(line);
  }
  records.close();

  if (fail) {
    // The surviving entries must be on disk before they replace the record:
    // rename swaps the names atomically, so no moment has them in neither file.
    int err = std::fflush(fail) == 0 && ::fsync(fileno(fail)) == 0 ? 0 : errno;
    std::fclose(fail);
    if (!err && std::rename(failPath.c_str(), m_strSnapInfoFile.c_str()) != 0) err = errno;
    if (!err) err = zr::SyncFolderOf(m_strSnapInfoFile);
    if (err) {
      ZR_LOG(ZR_LOG_ERROR, kSigCleanup, "Could not replace %s with %s: %s", m_strSnapInfoFile.c_str(), failPath.c_str(),
             std::strerror(err));
    }
  }
  if (done) std::fclose(done);
  return CNeError::Success();
}

bool CKestrelNativeSnapManagerPrivate::CleanupSnap(std::list<SP<FlrSnapOS::LV>>& list, std::string& device,
                                                   std::string& mountDir) {
  return RemoveRecordedSnap(list, device, mountDir) == Outcome::Removed;
}

CKestrelNativeSnapManagerPrivate::Outcome CKestrelNativeSnapManagerPrivate::RemoveRecordedSnap(
    std::list<SP<FlrSnapOS::LV>>& list, const std::string& device, const std::string& mountDir) {
  // The identity is built once, and only when there is a snapshot to compare.
  std::unique_ptr<FlrSnapOS::RDEV> wanted;
  SP<FlrSnapOS::Snap> snap;
  std::list<SP<FlrSnapOS::Snap>>* owner = nullptr;
  for (auto& lv : list) {
    for (auto& candidate : lv->snaps) {
      if (!wanted) wanted.reset(new FlrSnapOS::RDEV(device));
      // A record whose device cannot be examined names no device: never act on it.
      if (!wanted->isUnknownLocal() && *wanted == candidate->rdev) {
        snap = candidate;
        owner = &lv->snaps;
        break;
      }
    }
    if (snap) break;
  }
  if (!snap) return Outcome::Gone;

  const std::string special = snap->rdev.getSpecial();
  Outcome result = Outcome::Removed;
  if (snap->isMounted()) {
    try {
      if (FlrSnapOS::unMount(mountDir)) {
        CNeDirectory::Remove(mountDir, false, false);
        ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Unmounted %s from %s", special.c_str(), mountDir.c_str());
      } else {
        result = Outcome::Kept;
        ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to umount %s", mountDir.c_str());
      }
    } catch (const ZrException& e) {
      result = Outcome::Kept;
      ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to unmount %s. %s", mountDir.c_str(), e.formatError().c_str());
    }
  }
  if (result != Outcome::Removed) return result;
  try {
    snap->deleteSnap();
    // The list was taken at the start of the run: keep it true for later entries.
    owner->remove(snap);
    ZR_LOG(ZR_LOG_PROGRESS, kSigCleanupSnap, "Deleted snap %s", special.c_str());
  } catch (const ZrException& e) {
    result = Outcome::Kept;
    ZR_LOG(ZR_LOG_ERROR, kSigCleanupSnap, "Failed to delete snapshot %s. %s", device.c_str(), e.formatError().c_str());
  }
  return result;
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
