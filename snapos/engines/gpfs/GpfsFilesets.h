// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <vector>

#include "engines/gpfs/GpfsY.h"
#include "zr/ZrApi.h"

namespace FlrSnapOS {
namespace GpfsFilesets {
struct Fileset {
  std::string name;
  std::string path;  // its junction, where this node sees it
};

// The filesets that can have snapshots of their own among the rows of
// `mmlsfileset <fsName> -L -Y`: linked, independent (own inode space), and not
// the root fileset, which is the file system itself.
//
// mmlsfileset gives junctions under the file system's default mount point,
// which is the root fileset's junction in the same listing; mmmount may have
// put the file system elsewhere on this node, so each junction is moved from
// there to mountPoint (from the mount table). Taking the default from the same
// listing keeps the two consistent and costs no command. A junction outside
// the root fileset's is left out and logged at level -1. Throws ZrException
// when no root fileset with a junction is listed.
ZR_API std::vector<Fileset> Independent(const std::vector<GpfsY::Row>& rows, const std::string& fsName,
                                        const std::string& mountPoint);
}  // namespace GpfsFilesets
}  // namespace FlrSnapOS
