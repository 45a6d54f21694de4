// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

// File writes that survive a power cut, not only a crash of the process.
// Files are never opened through a symbolic link, and files these functions
// create are mode 0600 whatever the umask: they may live in a folder that
// others can write to.
namespace zr {
// Appends text with O_APPEND and fsyncs it; when the call created the file it
// also fsyncs the folder, so the new name is durable too. 0 or an errno (ELOOP
// for a symbolic link, EMLINK for a file with other names, which would be
// somebody else's file).
ZR_API int AppendDurably(const std::string& path, const std::string& text);
// Replaces path by a file holding exactly text: scratch file (created afresh,
// default path + ".tmp"), fsync, rename over path (atomic), fsync of the
// folder. 0 or an errno; path is untouched on failure.
ZR_API int ReplaceDurably(const std::string& path, const std::string& text, const std::string& scratch = "");
// Reads the whole file into text, never through a symbolic link. 0 or an errno
// (ENOENT when there is no such file).
ZR_API int ReadWhole(const std::string& path, std::string& text);
// fsync of the folder that holds path. 0 or an errno.
ZR_API int SyncFolderOf(const std::string& path);
}  // namespace zr
