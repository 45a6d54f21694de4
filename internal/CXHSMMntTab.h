// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
class Engine;
}

// The mount table as the native engine sees it, read once and re-read only
// when the engine reports that it changed.
class ZR_API CXHSMMntTab {
 public:
  struct Entry {
    std::string device;  // the mounted device's special-file name, as the table names it
    std::string mountPoint;
    std::string fsType;
    std::string root;
  };

  // Reads the table. Throws ZrException when it cannot.
  CXHSMMntTab();
  // The entry mounted at mountPoint (exact text; the top one where mounts are
  // stacked), or null.
  std::shared_ptr<const Entry> find(const char* mountPoint) const;
  // Re-reads the table when it changed since it was read; true when it did.
  bool refreshIfChanged();
  std::shared_ptr<const std::vector<std::string>> mountPoints() const;

 private:
  struct Contents;
  std::shared_ptr<const Contents> load() const;
  std::shared_ptr<const Contents> current() const;

  std::shared_ptr<const Contents> m_contents;  // replaced whole, read through atomic loads
  std::mutex m_refresh;
};
