// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "Kestrel/KestrelNativeSnapManagerPrivate.h"

// Snapshots of GPFS file systems and of the independent filesets nested in them.
class ZR_API CGpfsSnapManagerPrivate : public CKestrelNativeSnapManagerPrivate {
 public:
  CGpfsSnapManagerPrivate();
  CNeError CreateAndMountSnap(std::list<std::string>& contents) override;
  std::string getSnapDevPrefix() override;
  void getLVList(std::list<SP<FlrSnapOS::LV>>& out) override;
  // Snapshot content needs no remount on GPFS: kept for agents that call it.
  virtual CNeError ReMountSnaps();
};
