#include "zr/ZRPlatformInfo.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "zr/EvDebug.h"

namespace {
std::string Key(const std::string& section, const std::string& key) { return section + "\n" + key; }
}  // namespace

std::string ZRPlatformInfo::DefaultPath() {
  const char* env = std::getenv("ZRSNAP_CONFIG");
  return env && *env ? env : "/etc/zrsnap/agent.ini";
}

ZRPlatformInfo::ZRPlatformInfo() : ZRPlatformInfo(DefaultPath()) {}

ZRPlatformInfo::ZRPlatformInfo(const std::string& path) {
  std::ifstream in(path);
  if (!in) return;  // no file: an empty store
  boost::property_tree::ptree tree;
  try {
    boost::property_tree::ini_parser::read_ini(in, tree);
  } catch (const boost::property_tree::ini_parser_error& e) {
    EvDebug().Error("ZRPlatformInfo::ZRPlatformInfo", "Ignoring configuration file %s: %s", path.c_str(), e.what());
    return;
  }
  for (auto& section : tree) {
    for (auto& entry : section.second) m_values[Key(section.first, entry.first)] = entry.second.data();
  }
}

int ZRPlatformInfo::getString(const std::string& section, const std::string& key, std::string* out) const {
  auto it = m_values.find(Key(section, key));
  if (it == m_values.end()) return 0;
  *out = it->second;
  return 1;
}

int ZRPlatformInfo::getNumber(const std::string& section, const std::string& key, unsigned long* out) const {
  std::string text;
  if (!getString(section, key, &text) || text.empty()) return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;  // no sign, no blanks: "-1" is not a size
  }
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return 0;
  *out = value;
  return 1;
}

ZRPI_PlatformBase::ZRPI_PlatformBase() : m_home("/opt/zrsnap") {
  ZRPlatformInfo().getString("Platform", "sBaseHomeDirectory", &m_home);
}
