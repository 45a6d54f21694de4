// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace LvmErrors {
// The most lines of lvm's stderr that a message quotes.
const size_t kMostLines = 8;

// Why lvm failed, from its stderr: the lines that are not warnings, without
// their indent, joined by " | " (a warning such as an over-committed thin pool
// often comes first and would hide the error); only warnings when it printed
// nothing else; at most kMostLines, then how many more there were.
ZR_API std::string Reason(const std::string& stderrText);

// True when lvm refused because the volume is open ("Logical volume X in use.",
// "... is used by another device.", from lv_check_not_in_use in lvm2's
// activate.c), in its stderr or in a Reason quoted in a message.
ZR_API bool SaysInUse(const std::string& text);
}  // namespace LvmErrors
}  // namespace FlrSnapOS
