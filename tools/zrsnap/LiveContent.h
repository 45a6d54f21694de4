// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <list>
#include <map>
#include <string>
#include <vector>

// A content path that no snapshot covers: the backup would read it live.
struct LivePath {
  std::string path;
  std::string why;  // "it lies in /gpfs/fs0, ..."
};

// Each content path that is neither a source of the map nor below one, with the reason.
std::vector<LivePath> PathsWithoutSnapshot(const std::list<std::string>& contents,
                                           const std::map<std::string, std::string>& sourceToSnapshot,
                                           const std::string& kind);
