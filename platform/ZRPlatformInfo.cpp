// SPDX-License-Identifier: Apache-2.0
#include "zr/ZRPlatformInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

#include "zr/EvDebug.h"

namespace {
std::string Key(const std::string& section, const std::string& key) { return section + "\n" + key; }

// Every component makes its own store, so an unusable file would be reported once per lookup.
void ReportOnce(const std::string& path, const std::string& problem) {
  static std::mutex lock;
  static std::set<std::string> reported;
  std::lock_guard<std::mutex> hold(lock);
  if (!reported.insert(path + "\n" + problem).second) return;
  EvDebug().Error("ZRPlatformInfo::ZRPlatformInfo", "Ignoring configuration file %s: %s", path.c_str(),
                  problem.c_str());
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r"), last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The parser drops a section without keys; a checker must still see it.
std::vector<std::string> SectionHeaders(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = Trim(line);
    if (line.size() > 1 && line.front() == '[' && line.back() == ']')
      names.push_back(Trim(line.substr(1, line.size() - 2)));
  }
  return names;
}

// The whole file, or the errno of the failed open or read; ENOENT for no file.
int ReadWhole(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[8192];
  int err = 0;
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      err = got == 0 ? 0 : errno;
      break;
    }
  }
  ::close(fd);
  return err;
}
}  // namespace

std::string ZRPlatformInfo::DefaultPath() {
  const char* env = std::getenv("ZRSNAP_CONFIG");
  return env && *env ? env : "/etc/zrsnap/agent.ini";
}

bool ZRPlatformInfo::PathIsNamed() {
  const char* env = std::getenv("ZRSNAP_CONFIG");
  return env && *env;
}

ZRPlatformInfo::ZRPlatformInfo() : ZRPlatformInfo(DefaultPath()) {}

ZRPlatformInfo::ZRPlatformInfo(const std::string& path) : ZRPlatformInfo(path, true) {}

ZRPlatformInfo ZRPlatformInfo::Inspect(const std::string& path) { return ZRPlatformInfo(path, false); }

ZRPlatformInfo::ZRPlatformInfo(const std::string& path, bool logProblem) : m_path(path) {
  std::string text;
  int err = ReadWhole(path, text);
  if (err == ENOENT) return;  // no file: an empty store
  m_found = true;
  if (err) {
    m_problem = std::string("cannot read it: ") + std::strerror(err);
  } else {
    load(text);
  }
  if (logProblem && !m_problem.empty()) ReportOnce(path, m_problem);
}

void ZRPlatformInfo::load(const std::string& text) {
  std::istringstream in(text);
  boost::property_tree::ptree tree;
  try {
    boost::property_tree::ini_parser::read_ini(in, tree);
  } catch (const boost::property_tree::ini_parser_error& e) {
    m_problem = "line " + std::to_string(e.line()) + ": " + e.message();
    return;
  }
  m_sections = SectionHeaders(text);
  for (auto& top : tree) {
    if (top.second.empty() && !top.second.data().empty()) {  // "key=value" before the first section
      m_keys.emplace_back("", top.first);
      continue;
    }
    for (auto& entry : top.second) {
      m_values[Key(top.first, entry.first)] = entry.second.data();
      m_keys.emplace_back(top.first, entry.first);
    }
  }
}

int ZRPlatformInfo::getString(const std::string& section, const std::string& key, std::string* out) const {
  auto it = m_values.find(Key(section, key));
  if (it == m_values.end()) return 0;
  *out = it->second;
  return 1;
}

bool ZRPlatformInfo::ParseNumber(const std::string& text, unsigned long* out) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;  // no sign, no blanks: "-1" is not a size
  }
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  *out = value;
  return true;
}

int ZRPlatformInfo::getNumber(const std::string& section, const std::string& key, unsigned long* out) const {
  std::string text;
  return getString(section, key, &text) && ParseNumber(text, out) ? 1 : 0;
}

ZRPI_PlatformBase::ZRPI_PlatformBase() : m_home("/opt/zrsnap") {
  ZRPlatformInfo().getString("Platform", "sBaseHomeDirectory", &m_home);
}
