// SPDX-License-Identifier: Apache-2.0
#include "GpfsSnapManagerPrivate.h"

#include "zr/FXErrorUtil.h"
#include "zr/FXPath.h"
#include "zr/ZRPlatformInfo.h"

namespace {
const char kFile[] = "Unix/GpfsSnapManagerPrivate";
const char kSigCreate[] =
    "virtual CNeError CGpfsSnapManagerPrivate::CreateAndMountSnap(std::__cxx11::list<std::__cxx11::basic_string<char> "
    ">&)";
const int kWin32InvalidParameter = 87;

using Records = std::map<std::string, SP<FlrSnapOS::LV>>;
}  // namespace

std::string CGpfsSnapManagerPrivate::getSnapDevPrefix() { return "zrgpfs_"; }

void CGpfsSnapManagerPrivate::getLVList(std::list<SP<FlrSnapOS::LV>>& out) {
  out = FlrSnapOS::getLVList(FlrSnapOS::FLR_SNAP_ENG_GPFS);
}

CGpfsSnapManagerPrivate::CGpfsSnapManagerPrivate() { m_engineSlot = FlrSnapOS::FLR_SNAP_ENG_GPFS; }

CNeError CGpfsSnapManagerPrivate::ReMountSnaps() { return CNeError::Success(); }

CNeError CGpfsSnapManagerPrivate::CreateAndMountSnap(std::list<std::string>& contents) {
  CNeError ready = StartCreation(contents, kSigCreate);
  if (ready.IsError()) return ready.Push(FX_CODE_LOCATION(kFile, kSigCreate));
  Records fileSystems;  // file-system mount point -> its record, one per file system
  Records toSnapshot;   // source key -> record to snapshot
  for (auto& c : contents) {
    std::string volume;
    CNeError err = FXPath::ZRGetVolumeNameForVolumeMountPoint(c, volume);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigCreate));
    if (!fileSystems.count(volume)) {
      SP<FlrSnapOS::LV> lv;
      err = isNativeSnapPossible(volume, lv);
      if (err.IsError()) return err.Push(FX_CODE_LOCATION(kFile, kSigCreate));
      fileSystems[volume] = lv;
    }
    SP<FlrSnapOS::LV> fs = fileSystems[volume];
    if (FXPath::IsSamePathAs(c, volume)) toSnapshot[volume] = fs;
    if (!fs) return FXErrorUtil::ErrorWin32(FX_CODE_LOCATION(kFile, kSigCreate), kWin32InvalidParameter, "lv is NULL");
    for (auto& nested : fs->childLVs) {
      if (!nested) {
        return FXErrorUtil::ErrorWin32(FX_CODE_LOCATION(kFile, kSigCreate), kWin32InvalidParameter, "lv is NULL");
      }
      if (FXPath::IsSamePathAs(nested->mountPath, c)) toSnapshot[nested->mountPath] = nested;
    }
  }

  ZRPI_PlatformBase platform;
  if (m_bUseDC) {
    for (auto& fs : fileSystems) FreezeDC(fs.first, platform.getBaseHomeDirectory());
  }
  for (auto& entry : toSnapshot) {
    CNeError err = SnapAndMount(entry.first, entry.second);
    if (err.IsError()) {
      RollBack();
      return err;
    }
  }
  return CNeError::Success();
}
