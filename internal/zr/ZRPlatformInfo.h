// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zr/ZrApi.h"

// The agent's configuration store: an INI file read when the object is made.
// Path: $ZRSNAP_CONFIG, else /etc/zrsnap/agent.ini. A missing file is an empty store;
// so is a file that cannot be read or parsed, which is logged once per process.
class ZR_API ZRPlatformInfo {
 public:
  ZRPlatformInfo();
  explicit ZRPlatformInfo(const std::string& path);
  // The same store, but a problem is left to the caller to report (see problem()).
  static ZRPlatformInfo Inspect(const std::string& path);

  // Nonzero when section/key holds an unsigned number, stored in *out; 0 leaves *out alone.
  int getNumber(const std::string& section, const std::string& key, unsigned long* out) const;
  // Nonzero when section/key exists, stored in *out; 0 leaves *out alone.
  int getString(const std::string& section, const std::string& key, std::string* out) const;

  // For hosts that check the file before a job.
  const std::string& path() const { return m_path; }
  bool found() const { return m_found; }
  // Why the file could not be used ("cannot read ...: <errno text>" or "line N: <reason>"); empty when it could.
  const std::string& problem() const { return m_problem; }
  // Each section, and each key as (section, key), in file order; a key outside any section has an empty section.
  const std::vector<std::string>& sections() const { return m_sections; }
  const std::vector<std::pair<std::string, std::string>>& keys() const { return m_keys; }

  // What a number value must be: decimal digits only, within unsigned long.
  static bool ParseNumber(const std::string& text, unsigned long* out);
  static std::string DefaultPath();
  // True when $ZRSNAP_CONFIG names the file, which then must exist.
  static bool PathIsNamed();

 private:
  ZRPlatformInfo(const std::string& path, bool logProblem);
  void load(const std::string& text);

  std::string m_path;
  bool m_found = false;
  std::string m_problem;
  std::map<std::string, std::string> m_values;  // "section\nkey" -> value
  std::vector<std::string> m_sections;
  std::vector<std::pair<std::string, std::string>> m_keys;
};

// The agent's base home directory: [Platform] sBaseHomeDirectory, else /opt/zrsnap.
class ZR_API ZRPI_PlatformBase {
 public:
  ZRPI_PlatformBase();
  const char* getBaseHomeDirectory() const { return m_home.c_str(); }

 private:
  std::string m_home;
};
