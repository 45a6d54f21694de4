#pragma once
#include <string>

namespace FlrSnapOS {
// Copies the tree under from into the existing directory to: files as reflinks
// where the file system can share extents, else as copies; symbolic links as
// links; modes and modification times kept. Throws ZrException.
void CopyTree(const std::string& from, const std::string& to);
// Removes everything inside dir and keeps dir itself. Throws ZrException.
void EmptyDirectory(const std::string& dir);
}  // namespace FlrSnapOS
