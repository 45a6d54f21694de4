// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

// Where an error was made or passed through: source path without extension,
// the function's full signature text, and the line.
struct ZR_API FXCodeLocation {
  std::string file;
  std::string function;
  int line = 0;

  FXCodeLocation() = default;
  FXCodeLocation(std::string f, std::string fn, int l) : file(std::move(f)), function(std::move(fn)), line(l) {}
};

#define FX_CODE_LOCATION(file, signature) FXCodeLocation((file), (signature), __LINE__)
