#pragma once
#include <string>

#include "zr/ZrApi.h"

// File writes that survive a power cut, not only a crash of the process.
namespace zr {
// Appends text with O_APPEND and fsyncs it; when the call created the file it
// also fsyncs the folder, so the new name is durable too. 0 or an errno.
ZR_API int AppendDurably(const std::string& path, const std::string& text);
// Replaces path by a file holding exactly text: temp file, fsync, rename over
// path (atomic), fsync of the folder. 0 or an errno; path is untouched on failure.
ZR_API int ReplaceDurably(const std::string& path, const std::string& text);
// fsync of the folder that holds path. 0 or an errno.
ZR_API int SyncFolderOf(const std::string& path);
}  // namespace zr
