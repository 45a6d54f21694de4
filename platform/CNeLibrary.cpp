// SPDX-License-Identifier: Apache-2.0
#include "zr/CNeLibrary.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

#include "zr/FXErrorUtil.h"

namespace {
const char kFile[] = "platform/CNeLibrary";
}

CNeLibrary::CNeLibrary(bool unloadOnDestroy) : m_unload(unloadOnDestroy) {}

CNeLibrary::~CNeLibrary() {
  if (m_unload && m_handle) ::dlclose(m_handle);
}

std::string CNeLibrary::GetLibraryNameForName(const std::string& name) const {
  std::string file = "lib" + name + ".so";
  const char* dir = std::getenv("ZRSNAP_LIBRARY_DIR");
  return dir && *dir ? std::string(dir) + "/" + file : file;
}

CNeError CNeLibrary::Load(const std::string& fileName, bool global) {
  ::dlerror();
  void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
  if (!handle) {
    const char* why = ::dlerror();
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION(kFile, "CNeError CNeLibrary::Load(const std::string&, bool)"),
                                   ENOENT, "Cannot load library " + fileName + ": " + (why ? why : "unknown error"));
  }
  if (m_unload && m_handle) ::dlclose(m_handle);
  m_handle = handle;
  m_name = fileName;
  return CNeError::Success();
}

CNeError CNeLibrary::GetAddress(const std::string& symbol, void*& out) {
  const FXCodeLocation where = FX_CODE_LOCATION(kFile, "CNeError CNeLibrary::GetAddress(const std::string&, void*&)");
  if (!m_handle) return FXErrorUtil::ErrorErrNo(where, EINVAL, "Cannot look up " + symbol + ": no library loaded");
  ::dlerror();  // a symbol may legitimately be null: only dlerror tells a failure
  void* address = ::dlsym(m_handle, symbol.c_str());
  if (const char* why = ::dlerror()) {
    return FXErrorUtil::ErrorErrNo(where, ENOENT, "Cannot find " + symbol + " in " + m_name + ": " + why);
  }
  out = address;
  return CNeError::Success();
}
