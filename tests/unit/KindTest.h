// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "TestSupport.h"

namespace test {
// Cases that hold for both managers: the GPFS manager runs the same record,
// teardown and recovery code on file systems instead of logical volumes.
class KindTest : public EngineTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override;
  bool gpfs() const { return GetParam() == "gpfs"; }
  std::string prefix() const { return gpfs() ? "zrgpfs_" : "zrks_"; }
  // A volume of the manager's kind; content on its mount point snapshots it.
  std::string addJobVolume(const std::string& device) { return addVolume(device, gpfs()); }
  CNeError runJob(const std::list<std::string>& contents);
  std::vector<std::string> snapshotNames() const;

  std::unique_ptr<CKestrelNativeSnapManagerPrivate> m;
};

std::string KindName(const ::testing::TestParamInfo<std::string>& info);
}  // namespace test
