// SPDX-License-Identifier: Apache-2.0
#include "zr/FXPath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "zr/FXErrorUtil.h"
#include "zr/FXString.h"
#include "zr/MountInfo.h"
#include "zr/ZrException.h"

namespace FXPath {
namespace {
const char kFile[] = "platform/FXPath";
const char kSigResolve[] = "CNeError FXPath::ZRGetVolumeNameForVolumeMountPoint(const std::string&, std::string&)";

std::mutex g_sourceLock;
MountPointSource g_source;

std::shared_ptr<const std::vector<std::string>> KernelMountPoints() {
  auto points = std::make_shared<std::vector<std::string>>();
  for (auto& r : zr::ReadMountInfo()) points->push_back(r.target);
  return points;
}

MountPointSource CurrentSource() {
  std::lock_guard<std::mutex> hold(g_sourceLock);
  return g_source ? g_source : MountPointSource(&KernelMountPoints);
}
}  // namespace

std::string Normalize(const std::string& path) {
  if (path.empty()) return path;
  bool absolute = path[0] == '/';
  std::vector<std::string> parts;
  FXString::Split(path, "/", parts, FXString::FXSPLIT_SKIP_EMPTY);
  std::vector<std::string> kept;
  for (auto& p : parts) {
    if (p == ".") continue;
    if (p == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
      continue;
    }
    if (p == ".." && absolute) continue;  // "/.." is "/"
    kept.push_back(p);
  }
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < kept.size(); ++i) out += (i ? "/" : "") + kept[i];
  if (out.empty()) out = ".";
  return out;
}

bool IsSamePathAs(const std::string& a, const std::string& b) { return Normalize(a) == Normalize(b); }

std::string Resolve(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : Normalize(path);
}

bool IsUnder(const std::string& path, const std::string& dir) {
  if (dir == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

CNeError ZRGetVolumeNameForVolumeMountPoint(const std::string& path, std::string& volume) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigResolve), err,
                                   ZrErrnoText("Unable to resolve the volume of " + path, err));
  }
  std::shared_ptr<const std::vector<std::string>> points;
  try {
    points = CurrentSource()();
  } catch (const ZrException& e) {
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigResolve), e.getErrno() ? e.getErrno() : EIO,
                                   "Unable to resolve the volume of " + path + ": " + e.formatError());
  }
  const std::string* best = nullptr;
  for (auto& mp : *points) {
    if (IsUnder(resolved, mp) && (!best || mp.size() > best->size())) best = &mp;
  }
  if (!best) {
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, kSigResolve), ENOENT,
                                   "Unable to resolve the volume of " + path + ": no mount point holds " + resolved);
  }
  volume = *best;
  return CNeError::Success();
}

void SetMountPointSource(MountPointSource source) {
  std::lock_guard<std::mutex> hold(g_sourceLock);
  g_source = std::move(source);
}
}  // namespace FXPath
