// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FXString {
enum SplitFlags { FXSPLIT_KEEP_EMPTY = 0, FXSPLIT_SKIP_EMPTY = 1 };
// Splits text at every separator. With flags 0 empty pieces are kept, so "a::b"
// gives three pieces and "a:b:" gives "a", "b", "". Returns the number of pieces.
ZR_API size_t Split(const std::string& text, const std::string& separator, std::vector<std::string>& out, int flags);
// Removes trailing occurrences of suffix, but never reduces text to empty: "/" stays "/".
ZR_API void RemoveRight(std::string& text, const std::string& suffix);
}  // namespace FXString
