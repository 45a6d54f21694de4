// SPDX-License-Identifier: Apache-2.0
#include "zr/CNeDirectory.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "zr/FXErrorUtil.h"
#include "zr/ZrException.h"

namespace CNeDirectory {
namespace {
const char kFile[] = "platform/CNeDirectory";
}

CNeError Create(const std::string& path, bool parents) {
  const FXCodeLocation where = FX_CODE_LOCATION(kFile, "CNeError CNeDirectory::Create(const std::string&, bool)");
  std::error_code ec;
  bool ok = parents ? (std::filesystem::create_directories(path, ec), !ec) : (::mkdir(path.c_str(), 0700) == 0);
  int err = parents ? ec.value() : errno;
  if (!ok && err == EEXIST) ok = true;
  struct stat st {};
  if (ok && (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    ok = false;
    err = ENOTDIR;
  }
  if (!ok) return FXErrorUtil::ErrorErrNo(where, err, ZrErrnoText("Cannot create directory " + path, err));
  return CNeError::Success();
}

namespace {
int MakePrivate(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0) return errno;
  // mkdir's mode passes through the umask; this one must not.
  return ::chmod(path.c_str(), 0700) == 0 ? 0 : errno;
}
}  // namespace

CNeError CreatePrivate(const std::string& path) {
  const FXCodeLocation where = FX_CODE_LOCATION(kFile, "CNeError CNeDirectory::CreatePrivate(const std::string&)");
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    int err = MakePrivate(path.substr(0, slash));
    if (err && err != EEXIST) {
      return FXErrorUtil::ErrorErrNo(where, err, ZrErrnoText("Cannot create directory " + path.substr(0, slash), err));
    }
  }
  if (int err = MakePrivate(path)) {
    return FXErrorUtil::ErrorErrNo(where, err, ZrErrnoText("Cannot create directory " + path, err));
  }
  return CNeError::Success();
}

CNeError Remove(const std::string& path, bool recursive, bool force) {
  const FXCodeLocation where = FX_CODE_LOCATION(kFile, "CNeError CNeDirectory::Remove(const std::string&, bool, bool)");
  std::error_code ec;
  int err = 0;
  if (recursive) {
    std::filesystem::remove_all(path, ec);
    err = ec.value();
  } else if (::rmdir(path.c_str()) != 0) {
    err = errno;
  }
  if (err == ENOENT && force) err = 0;
  if (err) return FXErrorUtil::ErrorErrNo(where, err, ZrErrnoText("Cannot remove directory " + path, err));
  return CNeError::Success();
}
}  // namespace CNeDirectory
