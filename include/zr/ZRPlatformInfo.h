#pragma once
#include <map>
#include <string>

#include "zr/ZrApi.h"

// The agent's configuration store: an INI file read when the object is made.
// Path: $ZRSNAP_CONFIG, else /etc/zrsnap/agent.ini. A missing file is an empty store.
class ZR_API ZRPlatformInfo {
 public:
  ZRPlatformInfo();
  explicit ZRPlatformInfo(const std::string& path);

  // Nonzero when section/key holds an unsigned number, stored in *out; 0 leaves *out alone.
  int getNumber(const std::string& section, const std::string& key, unsigned long* out) const;
  // Nonzero when section/key exists, stored in *out; 0 leaves *out alone.
  int getString(const std::string& section, const std::string& key, std::string* out) const;

  static std::string DefaultPath();

 private:
  std::map<std::string, std::string> m_values;  // "section\nkey" -> value
};

// The agent's base home directory: [Platform] sBaseHomeDirectory, else /opt/zrsnap.
class ZR_API ZRPI_PlatformBase {
 public:
  ZRPI_PlatformBase();
  const char* getBaseHomeDirectory() const { return m_home.c_str(); }

 private:
  std::string m_home;
};
