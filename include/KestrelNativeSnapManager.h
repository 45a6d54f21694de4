// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <list>
#include <map>
#include <string>

#include "zr/CNeError.h"
#include "zr/SP.h"
#include "zr/ZrApi.h"

// Volume records belong to the snapshot OS layer, which agents never link: the
// interface names them only through handles.
namespace FlrSnapOS {
class LV;
}

// Integration contract (README, "Integration contract", says more):
// - Load libkestrelsnap.so with dlopen; link libzrplatform.so (and libdl), nothing
//   else of ours. Build as C++11 or later against libstdc++ with its new string ABI.
// - One manager per job, or the same manager again after a new Initialize. Delete
//   every manager, through this interface, before unloading the plug-in.
// - A manager is used by one thread at a time; the plug-in starts no thread.
//   g_ptrLogWriter is process-wide: install it before the first call and do not
//   replace it while a job runs.
// - Failures come back as CNeError values. Exceptions that cross: ZrException (the
//   snapshot OS layer cannot list volumes or check a mount) and std::bad_alloc.
// - The engine is chosen once per process, by the configuration the first job reads.
//
// The snapshot manager as an agent sees it. The order of the virtual operations
// is part of the binary interface: never reorder, only append in subclasses.
class ZR_API CKestrelNativeSnapManager {
 public:
  CKestrelNativeSnapManager() = default;
  virtual ~CKestrelNativeSnapManager() {}

  // Snapshots and mounts every volume that holds content; rolls back on failure.
  virtual CNeError CreateAndMountSnap(std::list<std::string>& contents) = 0;
  // Unmounts and deletes every snapshot that the snap record file names.
  virtual CNeError UnMountSnap() = 0;
  // Source volume mount point -> snapshot mount directory (a copy).
  virtual std::map<std::string, std::string> GetSourceToLocalMap() = 0;
  virtual bool IsDCFreeze(const std::string& volume) = 0;
  // Stores the job's paths, removes what an earlier run left behind, reads the configuration.
  virtual CNeError Initialize(bool useDC, std::string snapInfoFile, std::string snapMapInfoFile,
                              std::string mountRoot) = 0;
  virtual std::string GetLastError() = 0;
  virtual CNeError SnapAndMount(std::string volume, SP<FlrSnapOS::LV>& lv) = 0;
  virtual std::string getSnapDevPrefix() = 0;
  virtual void getLVList(std::list<SP<FlrSnapOS::LV>>& out) = 0;
};

// Creation functions. The caller owns the manager and deletes it through the interface.
// "native" gives the LVM manager, "gpfs" the GPFS manager, anything else null.
ZR_API CKestrelNativeSnapManager* GetNativeSnapManager(std::string kind);
extern "C" {
ZR_API CKestrelNativeSnapManager* GetKestrelNativeSnapManager();
ZR_API CKestrelNativeSnapManager* GetGpfsSnapManager();
}
