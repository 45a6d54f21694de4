// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FlrSnapOS.h"
#include "KestrelNativeSnapManager.h"
#include "zr/FileLock.h"

// The native (LVM) snapshot manager. The GPFS manager derives from it and
// replaces what it selects and lists; everything else runs unchanged.
class ZR_API CKestrelNativeSnapManagerPrivate : public CKestrelNativeSnapManager {
 public:
  CKestrelNativeSnapManagerPrivate();
  ~CKestrelNativeSnapManagerPrivate() override;

  CNeError CreateAndMountSnap(std::list<std::string>& contents) override;
  CNeError UnMountSnap() override;
  std::map<std::string, std::string> GetSourceToLocalMap() override;
  bool IsDCFreeze(const std::string& volume) override;
  CNeError Initialize(bool useDC, std::string snapInfoFile, std::string snapMapInfoFile,
                      std::string mountRoot) override;
  std::string GetLastError() override;
  CNeError SnapAndMount(std::string volume, SP<FlrSnapOS::LV>& lv) override;
  std::string getSnapDevPrefix() override;
  void getLVList(std::list<SP<FlrSnapOS::LV>>& out) override;

  void SetSnapInfoFile(std::string& path);
  void SetSnapMapInfoFile(std::string& path);

  // Checks that the volume mounted at path can be snapshotted and finds its record.
  CNeError isNativeSnapPossible(std::string& path, SP<FlrSnapOS::LV>& lv);
  CNeError FindLV(std::string& path, SP<FlrSnapOS::LV>& lv);

  // Appends one snapshot's record line (made durable) and map line. A job
  // writes the two apart: the record line before the snapshot exists, the map
  // line once it is mounted.
  // Returns 0 on success, -1 when a path is not set (the record line is still
  // written when only the map path is missing), -2 when the record line could
  // not be written or another job holds the record file (errno then holds the
  // reason; the map line is skipped), and -3 when the map line could not be
  // written (errno holds the reason).
  int SaveSnapDevInfo(const char* source, const char* device, const char* mountDir);

  // Removes every snapshot that the snap record file names; keeps the ones it
  // could not remove recorded. Fails when the record path is not set, when
  // another job holds the record file, when the record cannot be read (it is
  // then kept as it is), and when a snapshot it removed had been damaged (the
  // backup read from it is incomplete).
  CNeError Cleanup();
  // Removes one recorded snapshot; true when it was found and deleted.
  bool CleanupSnap(std::list<SP<FlrSnapOS::LV>>& list, std::string& device, std::string& mountDir);

  CNeError FreezeDC(const std::string& mountPoint, const char* baseDirectory);

  // Read-only views for hosts and tests.
  const std::string& GetSnapInfoFile() const { return m_strSnapInfoFile; }
  const std::string& GetSnapMapInfoFile() const { return m_strSnapMapInfoFile; }
  const std::string& GetMountRoot() const { return m_strMountRoot; }
  unsigned long GetSnapCowSizeMB() const { return m_nSnapCowSizeMB; }
  bool IsDCEnabled() const { return m_bUseDC; }
  const std::list<std::string>& GetFrozenVolumes() const { return m_frozenVolumes; }

 protected:
  // Takes the record file's lock unless this manager holds it already; the
  // error says which process holds it. Success when no record path is set.
  CNeError HoldRecordLock(const char* signature);
  // The engine slot whose snapshots this manager makes and removes. A member,
  // not a virtual call: agents rely on the layout of the virtual table.
  FlrSnapOS::FLR_SNAP_ENG EngineSlot() const { return m_engineSlot; }
  // Fails with ENOSPC, naming every shortfall, when the job's snapshots would not all fit.
  CNeError CheckSpace(const std::map<std::string, SP<FlrSnapOS::LV>>& volumes);
  // Cleanup after a failed creation; the map loses the pairs it removed.
  void RollBack();
  // Checks done before a job creates anything: the lock, and content paths a record can hold.
  CNeError StartCreation(const std::list<std::string>& contents, const char* signature);

  FlrSnapOS::FLR_SNAP_ENG m_engineSlot = FlrSnapOS::FLR_SNAP_ENG_NATIVE;
  bool m_bUseDC;
  unsigned long m_nSnapCowSizeMB;
  std::string m_strSnapInfoFile;
  std::string m_strSnapMapInfoFile;
  std::string m_strMountRoot;
  std::list<std::string> m_frozenVolumes;
  std::map<std::string, std::string> m_sourceToLocalMap;
  std::string m_strLastError;
  // Held from Initialize until UnMountSnap: one job per record file.
  std::unique_ptr<zr::FileLock> m_recordLock;
  // Lines this manager appended for a snapshot it did not make (a taken name)
  // and could not drop again: never acted on. The last occurrences of each
  // are this manager's; an earlier identical line is an earlier job's.
  std::multiset<std::string> m_takenLines;

 private:
  enum class Outcome { Removed, Gone, Kept };
  struct CleanupReport {
    std::vector<std::string> live;     // lines whose snapshot still exists
    std::vector<std::string> damaged;  // removed snapshots that had lost their point-in-time copy
    std::vector<std::string> cleared;  // sources whose snapshot is removed or gone
  };
  // What teardown does with one entry, given what the engine knows of its snapshot.
  Outcome SettleEntry(const FlrSnapOS::RecordedSnap& found, const std::string& device, const std::string& mountDir,
                      std::vector<std::string>& damaged);
  Outcome RemovePresentSnap(FlrSnapOS::Snap& snap, const std::string& device, const std::string& mountDir,
                            std::vector<std::string>& damaged);
  // Removes a mount folder the manager made; "" when it is gone, else why it stays.
  static std::string RemoveMountFolder(const std::string& dir);
  SP<FlrSnapOS::Snap> FindRecordedSnap(std::list<SP<FlrSnapOS::LV>>& list, const std::string& device,
                                       std::list<SP<FlrSnapOS::Snap>>*& owner);
  Outcome UnmountRecordedSnap(FlrSnapOS::Snap& snap, const std::string& mountDir);
  // Cleanup's work; fails only where Cleanup does, damage aside.
  CNeError RunCleanup(CleanupReport& report);
  // False when the record could not be rewritten (it keeps every entry).
  bool WriteCleanupResult(const std::vector<std::string>& kept, const std::vector<std::string>& removed);
  void CarryLiveEntriesForward(const std::vector<std::string>& live);
  void WarnIfExposed();
  void ReadCowSize();
  void LoadDataClassification();
  // A snapshot about to be made: its name, mount folder, device text and record line.
  struct Planned {
    std::string name, dir, special, line;
  };
  CNeError PrepareSnapshot(const std::string& volume, SP<FlrSnapOS::LV>& lv, Planned& plan);
  int AppendRecordLine(const std::string& source, const std::string& device, const std::string& mountDir);
  int AppendMapLine(const std::string& source, const std::string& mountDir);
  // One attempt of SnapAndMount with one name; taken tells the caller to try the next name.
  CNeError SnapWithName(const std::string& volume, SP<FlrSnapOS::LV>& lv, bool& taken);
  CNeError RecordActual(SP<FlrSnapOS::Snap>& snap, const std::string& volume, const std::string& name,
                        const std::string& recorded, std::string& mountDir, const std::string& planned);
  int DropRecordLine(const std::string& line);
  std::string LeftOfFailedSnapshot(const std::string& special);
  // taken: the name was another's; cleared when the job must not try another name.
  CNeError CreationFailed(const std::string& volume, const Planned& plan, std::string message, bool& taken);
  CNeError Refuse(const std::string& message, int line);
  CNeError UndoAndRefuse(SP<FlrSnapOS::Snap>& snap, std::string& mountDir, const std::string& planned,
                         const std::string& line, const std::string& message, int codeLine);
};
