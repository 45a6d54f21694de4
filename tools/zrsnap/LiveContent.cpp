// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/LiveContent.h"

#include "zr/FXPath.h"

namespace {
bool Covered(const std::string& path, const std::map<std::string, std::string>& sourceToSnapshot) {
  for (auto& pair : sourceToSnapshot) {
    if (FXPath::IsUnder(FXPath::Resolve(path), FXPath::Resolve(pair.first))) return true;
  }
  return false;
}

// The GPFS manager snapshots a file system only for its mount point and an
// independent fileset only for its junction; any other path is checked and skipped.
std::string Why(const std::string& path, const std::string& kind) {
  std::string volume;
  bool found = !FXPath::ZRGetVolumeNameForVolumeMountPoint(path, volume).IsError();
  std::string where = found ? "it lies in the file system mounted at " + volume : "its file system is unknown";
  if (kind == "gpfs") {
    return where +
           ", and the gpfs manager snapshots only a content path that is a file system's mount point or an "
           "independent fileset's junction";
  }
  return where + ", and the manager made no snapshot that holds it";
}
}  // namespace

std::vector<LivePath> PathsWithoutSnapshot(const std::list<std::string>& contents,
                                           const std::map<std::string, std::string>& sourceToSnapshot,
                                           const std::string& kind) {
  std::vector<LivePath> live;
  for (auto& path : contents) {
    if (!Covered(path, sourceToSnapshot)) live.push_back(LivePath{path, Why(path, kind)});
  }
  return live;
}
