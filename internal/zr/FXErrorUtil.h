// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/CNeError.h"

namespace FXErrorUtil {
// An error whose code is an errno value; the message is taken as finished text.
ZR_API CNeError ErrorErrNo(const FXCodeLocation& where, int code, const std::string& message);
// An error whose code is a Win32-style value (87: invalid parameter).
ZR_API CNeError ErrorWin32(const FXCodeLocation& where, int code, const std::string& message);
}  // namespace FXErrorUtil
