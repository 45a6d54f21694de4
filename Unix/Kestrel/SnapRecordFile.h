#pragma once
#include <functional>
#include <string>
#include <vector>

// Crash-safe file steps of the snap record files.
namespace SnapRecordFile {
// Appends text with O_APPEND and fsyncs it; when the call created the file it
// also fsyncs the folder, so the new name survives a power cut. 0 or an errno.
int AppendDurably(const std::string& path, const std::string& text);
// Replaces path by a file holding exactly lines (each with a line feed): temp
// file, fsync, rename, fsync of the folder. 0 or an errno.
int ReplaceDurably(const std::string& path, const std::vector<std::string>& lines);
// fsync of the folder that holds path. 0 or an errno.
int SyncFolderOf(const std::string& path);
// Calls onLine for each line of path, without its line feed. A missing file has no lines.
void ForEachLine(const std::string& path, const std::function<void(const std::string&)>& onLine);
}  // namespace SnapRecordFile
