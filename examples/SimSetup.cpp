// SPDX-License-Identifier: Apache-2.0
#include "SimSetup.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {
void MakeDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot create " + dir + ": " + std::strerror(errno));
  }
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }
}  // namespace

std::string ReadText(const std::string& path) {
  std::ifstream in(path.c_str());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path.c_str(), std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

bool IsEmptyDirectory(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  int entries = 0;
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++entries;
  }
  ::closedir(d);
  return entries == 0;
}

SimSetup::SimSetup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/example-agent-XXXXXX";
  char resolved[PATH_MAX];
  if (!::mkdtemp(&pattern[0]) || !::realpath(pattern.c_str(), resolved)) {
    throw std::runtime_error("cannot create a scratch folder " + pattern + ": " + std::strerror(errno));
  }
  m_top = resolved;
  if (m_top.find_first_of("\"\\\n") != std::string::npos) {
    throw std::runtime_error("the scratch folder " + m_top + " has a character the JSON state file would need escaped");
  }
  m_volume = m_top + "/volume";
  m_stateDir = m_top + "/state";
  MakeDirectory(m_volume);
  MakeDirectory(m_volume + "/docs");
  MakeDirectory(m_stateDir);
  MakeDirectory(m_top + "/sim");
  WriteText(m_volume + "/docs/report.txt", "draft 1\n");
  // The simulated engine's state file: one volume, no snapshots yet.
  WriteText(m_top + "/sim/state.json",
            "{\"volumes\": [{\"device\": \"simvg-example\", \"path\": \"" + m_volume + "\"}], \"snapshots\": []}\n");
  WriteText(config(), "[SnapOS]\nsEngine=sim\n[SimEngine]\nsStateDir=" + m_top + "/sim\n");
}

SimSetup::~SimSetup() { ::nftw(m_top.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }
