// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "zr/ZrApi.h"

// File writes that survive a power cut, not only a crash of the process.
// Files are never opened through a symbolic link, and files these functions
// create are mode 0600 whatever the umask: they may live in a folder that
// others can write to.
namespace zr {
// More than any file of ours holds (a record of 100,000 snapshots is about 20 MiB).
constexpr size_t kMaxReadBytes = 64u << 20;
// Appends text with O_APPEND and fsyncs it; when the call created the file it
// also fsyncs the folder, so the new name is durable too. 0 or an errno (ELOOP
// for a symbolic link, EMLINK for a file with other names, which would be
// somebody else's file).
ZR_API int AppendDurably(const std::string& path, const std::string& text);
// Replaces path by a file holding exactly text: scratch file (created afresh,
// default path + ".tmp"), fsync, rename over path (atomic), fsync of the
// folder. 0 or an errno; path is untouched on failure.
ZR_API int ReplaceDurably(const std::string& path, const std::string& text, const std::string& scratch = "");
// Reads the whole file into text, never through a symbolic link, never
// waiting on a FIFO or device (only a regular file is read: EINVAL otherwise).
// 0 or an errno (ENOENT when there is no such file, EFBIG past maxBytes).
ZR_API int ReadWhole(const std::string& path, std::string& text, size_t maxBytes = kMaxReadBytes);
// The file's non-empty lines as ReadWhole reads it, each without its "\n" or
// "\r\n". 0 or an errno; a missing file has no lines.
ZR_API int ReadLines(const std::string& path, std::vector<std::string>& lines);
// fsync of the folder that holds path. 0 or an errno.
ZR_API int SyncFolderOf(const std::string& path);
}  // namespace zr
