// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
enum FLR_RDEV_TYPE : int32_t { FLR_RDEV_LOCAL = 0, FLR_RDEV_REMOTE = 1, FLR_RDEV_OTHER = 2 };

// Device identity built from a device text: a local special file (compared by
// device number, so every alias of a node is equal), a remote host:/path, or
// any other name (compared as text).
class ZR_API RDEV {
 public:
  explicit RDEV(const std::string& text);

  const std::string& getSpecial() const { return special; }
  // A local identity whose special file could not be examined, or is not a
  // device node: it names no device, so it must never be taken as a match.
  bool isUnknownLocal() const { return type == FLR_RDEV_LOCAL && devNumber == 0; }

  bool isNull = false;
  FLR_RDEV_TYPE type = FLR_RDEV_OTHER;
  std::string special;
  dev_t devNumber = 0;
  std::string host;
  std::string remotePath;
  std::string volume;
  std::string volumePath;
  std::string name;

 private:
  void init(const std::string& text);
  void initRemote(size_t marker);
};

ZR_API bool operator==(const RDEV& a, const RDEV& b);
inline bool operator!=(const RDEV& a, const RDEV& b) { return !(a == b); }
}  // namespace FlrSnapOS
