// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "zr/ZrApi.h"

namespace FlrSnapOS {
// What the simulated engine keeps in its folder: registered volumes and the
// snapshots made of them. Saved whole and atomically after every change.
struct ZR_API SimState {
  struct Volume {
    std::string device;  // a bare name such as "simvg-data"
    std::string path;    // the directory that plays the volume
    bool active = true;  // like an LV: an inactive volume cannot be snapshotted
  };
  struct Snapshot {
    std::string name;    // the name the manager gave
    std::string device;  // "<origin device>@<name>"
    std::string origin;  // origin device
    std::string mountDir;
    bool mounted = false;
  };

  std::vector<Volume> volumes;
  std::vector<Snapshot> snapshots;
  unsigned long generation = 0;  // grows with every saved change

  const Volume* volume(const std::string& device) const;
  Snapshot* snapshot(const std::string& name);

  // Reads <dir>/state.json; a missing file is an empty state. Throws ZrException.
  static SimState Load(const std::string& dir);
  // Writes <dir>/state.json by temp file, fsync, rename and fsync of the folder.
  void save(const std::string& dir);
};

// Holds an exclusive flock on <dir>/lock for the life of the object, so that
// processes sharing a state folder take turns. The kernel drops it when a
// process dies, so a killed holder never blocks the next one.
class SimLock {
 public:
  explicit SimLock(const std::string& dir);
  ~SimLock();
  SimLock(const SimLock&) = delete;
  SimLock& operator=(const SimLock&) = delete;

 private:
  int m_fd;
};
}  // namespace FlrSnapOS
