// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <vector>

// The snap record file: one "source:device:mountdir" line per snapshot. It is
// written before the snapshot exists and rewritten only as a whole (scratch
// file, fsync, rename), so a kill at any moment leaves every snapshot named.
namespace SnapRecordFile {
// True when text cannot be a field of a line: a ':' splits fields, a line
// break splits lines.
bool CannotHold(const std::string& text);
std::string Line(const std::string& source, const std::string& device, const std::string& mountDir);

// The lines of path without their line ends ("\n" or "\r\n"), empty lines
// skipped. 0 or an errno; a file that does not exist has no lines.
int ReadLines(const std::string& path, std::vector<std::string>& lines);
// Rewrites path with the last line equal to from replaced by to (dropped when
// to is empty). 0 or an errno; path is untouched on failure.
int ReplaceLine(const std::string& path, const std::string& from, const std::string& to);
// Replaces path by exactly lines, going through scratch.
int Rewrite(const std::string& path, const std::vector<std::string>& lines, const std::string& scratch);
}  // namespace SnapRecordFile
