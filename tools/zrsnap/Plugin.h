// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <memory>
#include <string>

#include "KestrelNativeSnapManager.h"

// The plug-in, loaded with dlopen the way an agent loads it.
class Plugin {
 public:
  // Throws std::runtime_error naming the file and dlerror's reason.
  explicit Plugin(const std::string& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  struct Deleter {
    void operator()(CKestrelNativeSnapManager* m) const { delete m; }
  };
  using Manager = std::unique_ptr<CKestrelNativeSnapManager, Deleter>;

  // A manager from GetNativeSnapManager(kind).
  Manager create(const std::string& kind);

 private:
  void* m_handle;
  std::string m_path;
};
