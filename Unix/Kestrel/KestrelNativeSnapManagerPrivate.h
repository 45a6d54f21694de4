#pragma once
#include <list>
#include <map>
#include <string>
#include <vector>

#include "KestrelNativeSnapManager.h"

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

  // Appends one snapshot's record line (made durable) and map line.
  // Returns 0 on success, -1 when a path is not set (the record line is still
  // written when only the map path is missing), and -2 when the record line
  // could not be written (errno then holds the reason; the map line is skipped).
  int SaveSnapDevInfo(const char* source, const char* device, const char* mountDir);

  // Removes every snapshot that the snap record file names; keeps the ones it
  // could not remove recorded. Fails only when the record path is not set.
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
  bool m_bUseDC;
  unsigned long m_nSnapCowSizeMB;
  std::string m_strSnapInfoFile;
  std::string m_strSnapMapInfoFile;
  std::string m_strMountRoot;
  std::list<std::string> m_frozenVolumes;
  std::map<std::string, std::string> m_sourceToLocalMap;
  std::string m_strLastError;

 private:
  enum class Outcome { Removed, Gone, Kept };
  Outcome RemoveRecordedSnap(std::list<SP<FlrSnapOS::LV>>& list, const std::string& device,
                             const std::string& mountDir);
  // Cleanup's work; when live is given it receives the lines whose snapshot still exists.
  CNeError RunCleanup(std::vector<std::string>* live);
  void CarryLiveEntriesForward(const std::vector<std::string>& live);
  void ReadCowSize();
  void LoadDataClassification();
  std::string NewMountDirectory(std::string& name);
  CNeError Refuse(const std::string& message, int line);
  CNeError UndoAndRefuse(SP<FlrSnapOS::Snap>& snap, std::string& mountDir, const std::string& planned,
                         const std::string& message, int line);
};
