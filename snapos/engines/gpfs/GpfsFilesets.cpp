// SPDX-License-Identifier: Apache-2.0
#include "engines/gpfs/GpfsFilesets.h"

#include <cerrno>

#include "zr/EvDebug.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace GpfsFilesets {
namespace {
bool IsJunction(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string RootJunction(const std::vector<GpfsY::Row>& rows, const std::string& fsName) {
  for (auto& row : rows) {
    if (GpfsY::Get(row, "filesetName") == "root" && IsJunction(GpfsY::Get(row, "path"))) {
      return GpfsY::Get(row, "path");
    }
  }
  throw ZrException("mmlsfileset " + fsName +
                        " -L -Y lists no root fileset with a junction, so where the filesets of " + fsName +
                        " are cannot be told",
                    EPROTO);
}

// path moved from under `from` to under `to`; "" when it is not under `from`.
std::string Rebase(const std::string& path, const std::string& from, const std::string& to) {
  const std::string prefix = from == "/" ? from : from + "/";
  if (path == from) return to;
  if (path.compare(0, prefix.size(), prefix) != 0) return "";
  return (to == "/" ? "" : to) + "/" + path.substr(prefix.size());
}
}  // namespace

std::vector<Fileset> Independent(const std::vector<GpfsY::Row>& rows, const std::string& fsName,
                                 const std::string& mountPoint) {
  const std::string defaultMount = RootJunction(rows, fsName);
  std::vector<Fileset> out;
  for (auto& row : rows) {
    std::string name = GpfsY::Get(row, "filesetName"), path = GpfsY::Get(row, "path");
    if (name == "root" || GpfsY::Get(row, "status") != "Linked" || GpfsY::Get(row, "isInodeSpaceOwner") != "1" ||
        !IsJunction(path)) {
      continue;
    }
    std::string here = Rebase(path, defaultMount, mountPoint);
    if (here.empty()) {
      EvDebug().Error("FlrSnapOS::GpfsFilesets::Independent",
                      "Fileset %s of %s is left out: its junction %s is not under the root fileset's junction %s",
                      name.c_str(), fsName.c_str(), path.c_str(), defaultMount.c_str());
      continue;
    }
    out.push_back(Fileset{name, here});
  }
  return out;
}
}  // namespace GpfsFilesets
}  // namespace FlrSnapOS
