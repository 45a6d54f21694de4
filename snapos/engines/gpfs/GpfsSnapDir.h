// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace GpfsSnapDir {
// The names of a file system's snapshot directories.
struct Names {
  std::string global;   // global snapshots appear in <file system root>/<global>/<snapshot>
  std::string fileset;  // fileset snapshots appear in <fileset junction>/<fileset>/<snapshot>
};

// Reads `mmsnapdir <fsName> -q` output. It has one of two shapes: one line
//   Snapshot directory for "fs" is "X" (root directory only|all directories)
// when both kinds share directory X, or two lines
//   Fileset snapshot directory for "fs" is "X" (root directory only|all directories)
//   Global snapshot directory for "fs" is "Y" in root fileset|all filesets
// Anything else, or another file system's name, throws ZrException (EPROTO)
// naming the command, the file system and the text: a guessed directory would
// hand the backup a wrong path.
ZR_API Names Parse(const std::string& output, const std::string& fsName);
}  // namespace GpfsSnapDir
}  // namespace FlrSnapOS
