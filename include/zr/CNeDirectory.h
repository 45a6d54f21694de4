#pragma once
#include <string>

#include "zr/CNeError.h"

namespace CNeDirectory {
// Makes path (and, with parents, every missing parent). An existing directory is success.
ZR_API CNeError Create(const std::string& path, bool parents);
// Removes path: without recursive only an empty directory; force ignores a missing one.
ZR_API CNeError Remove(const std::string& path, bool recursive, bool force);
}  // namespace CNeDirectory
