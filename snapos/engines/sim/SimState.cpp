// SPDX-License-Identifier: Apache-2.0
#include "engines/sim/SimState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>

#include "zr/DurableFile.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
std::string StatePath(const std::string& dir) { return dir + "/state.json"; }
}  // namespace

const SimState::Volume* SimState::volume(const std::string& device) const {
  for (auto& v : volumes) {
    if (v.device == device) return &v;
  }
  return nullptr;
}

SimState::Snapshot* SimState::snapshot(const std::string& name) {
  for (auto& s : snapshots) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

SimState SimState::Load(const std::string& dir) {
  SimState state;
  std::string text;
  // Only a missing file is an empty state: taking an unreadable one as empty
  // would have the next save wipe every volume and snapshot.
  if (int err = zr::ReadWhole(StatePath(dir), text)) {
    if (err == ENOENT) return state;
    throw ZrException("Cannot read the simulated engine's state " + StatePath(dir), err);
  }
  try {
    auto j = nlohmann::json::parse(text);
    auto generation = j.find("generation");
    if (generation != j.end()) {
      // Any other number would not convert to a count (a float beyond range is undefined).
      if (!generation->is_number_unsigned()) {
        throw ZrException("Cannot read the simulated engine's state " + StatePath(dir) +
                              ": \"generation\" is not a whole number of changes",
                          EINVAL);
      }
      state.generation = generation->get<unsigned long>();
    }
    for (auto& v : j.at("volumes"))
      state.volumes.push_back(Volume{v.at("device"), v.at("path"), v.value("active", true)});
    for (auto& s : j.at("snapshots")) {
      state.snapshots.push_back(
          Snapshot{s.at("name"), s.at("device"), s.at("origin"), s.at("mountDir"), s.at("mounted")});
    }
  } catch (const nlohmann::json::exception& e) {
    throw ZrException("Cannot read the simulated engine's state " + StatePath(dir) + ": " + e.what(), EINVAL);
  }
  return state;
}

void SimState::save(const std::string& dir) {
  ++generation;
  nlohmann::json j{
      {"generation", generation}, {"volumes", nlohmann::json::array()}, {"snapshots", nlohmann::json::array()}};
  for (auto& v : volumes) j["volumes"].push_back({{"device", v.device}, {"path", v.path}, {"active", v.active}});
  for (auto& s : snapshots) {
    j["snapshots"].push_back({{"name", s.name},
                              {"device", s.device},
                              {"origin", s.origin},
                              {"mountDir", s.mountDir},
                              {"mounted", s.mounted}});
  }
  if (int err = zr::ReplaceDurably(StatePath(dir), j.dump(2) + "\n")) {
    throw ZrException("Cannot write the simulated engine's state " + StatePath(dir), err);
  }
}

SimLock::SimLock(const std::string& dir) : m_fd(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
  if (m_fd < 0) throw ZrException("Cannot open the simulated engine's lock in " + dir, errno);
  while (::flock(m_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int err = errno;
      ::close(m_fd);
      throw ZrException("Cannot lock the simulated engine's state in " + dir, err);
    }
  }
}

SimLock::~SimLock() { ::close(m_fd); }
}  // namespace FlrSnapOS
