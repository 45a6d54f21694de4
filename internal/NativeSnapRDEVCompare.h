// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "FlrSnapOS.h"

// Matches volume records against one device text. The identity is built once,
// at construction, however often the predicate is copied.
class ZR_API NativeSnapRDEVCompare {
 public:
  explicit NativeSnapRDEVCompare(const std::string& device) : m_rdev(device) {}
  // A local identity with device number 0 names no device and matches nothing.
  bool operator()(const SP<FlrSnapOS::LV>& lv) const { return !m_rdev.isUnknownLocal() && m_rdev == lv->rdev; }

 private:
  FlrSnapOS::RDEV m_rdev;
};
