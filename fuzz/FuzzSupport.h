// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <string>

namespace fuzz {
// A fixed folder of the target's own under /tmp/zr-fuzz, made once: fixed so
// that seed inputs can name paths inside it.
std::string Folder(const std::string& target);
// Replaces path with the input's bytes.
void WriteInput(const std::string& path, const uint8_t* data, size_t size);
// Installs a log writer that formats every line at every level and keeps none.
void InstallLogWriter();
}  // namespace fuzz
