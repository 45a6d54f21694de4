// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/CNeError.h"

// Dynamic loading over dlopen/dlsym. Made with unloadOnDestroy false, the
// library stays loaded after the object is gone, so addresses taken stay valid.
class ZR_API CNeLibrary {
 public:
  explicit CNeLibrary(bool unloadOnDestroy);
  ~CNeLibrary();
  CNeLibrary(const CNeLibrary&) = delete;
  CNeLibrary& operator=(const CNeLibrary&) = delete;

  // "lib<name>.so", under $ZRSNAP_LIBRARY_DIR when that is set.
  std::string GetLibraryNameForName(const std::string& name) const;
  // global: symbols also resolve for later loads (RTLD_GLOBAL).
  CNeError Load(const std::string& fileName, bool global);
  CNeError GetAddress(const std::string& symbol, void*& out);

 private:
  bool m_unload;
  void* m_handle = nullptr;
  std::string m_name;
};
