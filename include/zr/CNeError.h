// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "zr/FXCodeLocation.h"
#include "zr/ZrApi.h"

enum class FXErrorDomain { None, ErrNo, Win32 };

// Shared detail record of an error: what it was built from and where it went.
struct ZR_API FXErrorPrivate {
  FXErrorDomain domain = FXErrorDomain::None;
  int code = 0;
  std::string message;
  std::vector<FXCodeLocation> trail;
};

// Error value returned by every manager operation. Copies share their details
// (boost::shared_ptr keeps an atomic count); Push copies them first when shared,
// so a pushed location never shows up in an unrelated copy.
class ZR_API CNeError {
 public:
  CNeError() = default;
  static CNeError Success() { return CNeError(); }
  static CNeError Make(FXErrorDomain domain, int code, const std::string& message, const FXCodeLocation& where);

  bool IsError() const { return m_status < 0; }
  int32_t Status() const { return m_status; }
  int Code() const;
  FXErrorDomain Domain() const;
  std::string Message() const;
  std::vector<FXCodeLocation> Trail() const;

  // Appends the caller's location to the trail; returns the error for passing on.
  CNeError& Push(const FXCodeLocation& where);

  // One line for people: "<message> (errno 22)" plus the innermost location.
  std::string ToString() const;

 private:
  int32_t m_status = 0;
  boost::shared_ptr<FXErrorPrivate> m_d;
};
