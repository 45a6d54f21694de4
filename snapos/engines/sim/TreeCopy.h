// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

namespace FlrSnapOS {
// Copies the tree under from into the existing directory to (never a symbolic
// link) as a read-only nosuid mount of a snapshot would show it: files as
// reflinks where the file system can share extents, else as copies; symbolic
// links as links; modes and modification times kept, owners too when running
// as root, setuid and setgid bits of files dropped. Another file system
// mounted inside from shows as an empty directory. Trees deeper than 128
// levels are refused. Throws ZrException.
void CopyTree(const std::string& from, const std::string& to);
// Removes everything inside dir and keeps dir itself. Follows no symbolic link,
// dir included, and removes nothing on another file system. Throws ZrException.
void EmptyDirectory(const std::string& dir);
// True when dir is a directory itself (not a link to one) with nothing in it.
bool IsEmptyDirectory(const std::string& dir);
}  // namespace FlrSnapOS
