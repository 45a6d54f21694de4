// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zr/CNeError.h"

namespace FXPath {
// Lexically normal form: one "/" between components, no "." components, ".."
// folded where it can be, no trailing "/" except for the root.
ZR_API std::string Normalize(const std::string& path);
// True when both texts name the same path after lexical normalisation.
ZR_API bool IsSamePathAs(const std::string& a, const std::string& b);
// The path with symbolic links resolved as the kernel would, or its lexically
// normal form when it cannot be resolved (it does not exist, for example).
ZR_API std::string Resolve(const std::string& path);
// True when path equals dir or lies below it on a component boundary.
ZR_API bool IsUnder(const std::string& path, const std::string& dir);

// Stores in volume the mount point of the file system that holds path, as the
// active mount table lists it. Symbolic links are followed as the kernel would.
ZR_API CNeError ZRGetVolumeNameForVolumeMountPoint(const std::string& path, std::string& volume);

// Source of mount points for the resolver. The snapshot OS layer installs its
// own (engines may add volumes of their own); the default reads the kernel's table.
using MountPointSource = std::function<std::shared_ptr<const std::vector<std::string>>()>;
ZR_API void SetMountPointSource(MountPointSource source);
}  // namespace FXPath
