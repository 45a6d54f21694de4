// SPDX-License-Identifier: Apache-2.0
// A mount table in the kernel's mountinfo format, read through libmount.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "zr/MountInfo.h"
#include "zr/ZrException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = fuzz::Folder("mountinfo") + "/mountinfo";
  fuzz::WriteInput(file, data, size);
  try {
    zr::ReadMountInfo(file);
  } catch (const ZrException&) {
  }
  return 0;
}
