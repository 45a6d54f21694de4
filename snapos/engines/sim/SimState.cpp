#include "engines/sim/SimState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
std::string StatePath(const std::string& dir) { return dir + "/state.json"; }

void WriteAllOrThrow(int fd, const std::string& text, const std::string& path) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ZrException("Cannot write " + path, errno);
    done += static_cast<size_t>(n);
  }
}
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
  std::ifstream in(StatePath(dir));
  if (!in) return state;
  try {
    auto j = nlohmann::json::parse(in);
    state.generation = j.value("generation", 0ul);
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
  const std::string path = StatePath(dir), tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ZrException("Cannot write " + tmp, errno);
  try {
    WriteAllOrThrow(fd, j.dump(2) + "\n", tmp);
    if (::fsync(fd) != 0) throw ZrException("Cannot sync " + tmp, errno);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw ZrException("Cannot replace " + path, errno);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
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
