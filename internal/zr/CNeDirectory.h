// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/CNeError.h"

namespace CNeDirectory {
// Makes path (and, with parents, every missing parent). An existing directory is success.
ZR_API CNeError Create(const std::string& path, bool parents);
// Makes path and every missing parent, each one it makes mode 0700 whatever
// the umask. Fails with EEXIST when path itself exists, so that a caller that
// must own a fresh directory gets one.
ZR_API CNeError CreatePrivate(const std::string& path);
// Removes path: without recursive only an empty directory; force ignores a missing one.
ZR_API CNeError Remove(const std::string& path, bool recursive, bool force);
}  // namespace CNeDirectory
