// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/ConfigCheck.h"

#include <strings.h>

#include <cctype>
#include <map>
#include <set>

#include "zr/ZRPlatformInfo.h"
#include "zrsnap/TrustedPath.h"

namespace {
// Every key that the plug-in and its engines read (README, Configuration).
const std::map<std::string, std::set<std::string>>& KnownKeys() {
  static const std::map<std::string, std::set<std::string>> keys{
      {"TLM", {"nSnapCowSizeMB"}},
      {"FileSystemAgent", {"nSnapCowSizeMB"}},
      {"SnapOS", {"sEngine", "sGpfsEngine"}},
      {"LVM", {"sLvmPath", "nTimeoutSeconds", "nSnapCowPercent", "nThinPoolMaxPercent"}},
      {"SnapCow", {}},  // any VG/LV or VG: the engine checks the value when a job uses it
      {"SimEngine", {"sStateDir"}},
      {"GPFS", {"sCommandDir", "nTimeoutSeconds", "sMountInfo"}},
      {"Platform", {"sBaseHomeDirectory"}}};
  return keys;
}

// Keys carry their type in front: "nSnapCowSizeMB" holds a number.
bool IsNumberKey(const std::string& key) { return key.size() > 1 && key[0] == 'n' && std::isupper(key[1]); }

// Names are case-sensitive; an administrator who wrote [snapos] meant [SnapOS].
std::string CaseHint(const std::string& name, const std::set<std::string>& known) {
  for (auto& k : known) {
    if (::strcasecmp(k.c_str(), name.c_str()) == 0) return " (names are case-sensitive: did you mean " + k + "?)";
  }
  return "";
}

std::set<std::string> SectionNames() {
  std::set<std::string> names;
  for (auto& s : KnownKeys()) names.insert(s.first);
  return names;
}

std::string UnknownSectionWarning(const ZRPlatformInfo& config, const std::string& section) {
  return "configuration file " + config.path() + ": unknown section [" + section + "] is ignored" +
         CaseHint(section, SectionNames());
}

std::string UnknownKeyWarning(const ZRPlatformInfo& config, const std::string& section, const std::string& key) {
  const std::string file = "configuration file " + config.path();
  if (section.empty()) return file + ": key " + key + " outside any section is ignored";
  return file + ": unknown key " + key + " in [" + section + "] is ignored" + CaseHint(key, KnownKeys().at(section));
}

// The engines keep every number in 32 bits: a larger one would wrap (4294967296 seconds would be 0, no limit).
const unsigned long kLargestNumber = 4294967295UL;

std::string CheckNumber(const ZRPlatformInfo& config, const std::string& section, const std::string& key) {
  std::string text;
  unsigned long value = 0;
  config.getString(section, key, &text);
  const std::string where =
      "configuration file " + config.path() + ": [" + section + "] " + key + " = \"" + text + "\"";
  if (!ZRPlatformInfo::ParseNumber(text, &value)) return where + " is not a number (decimal digits only, no sign)";
  if (value > kLargestNumber) return where + " is out of range (0 to " + std::to_string(kLargestNumber) + ")";
  return "";
}

// The commands the engines run as root, and the file that names them, must be ours alone.
std::string CheckTrusted(const ZRPlatformInfo& config) {
  if (config.found()) {
    if (std::string why = UntrustedBecause(config.path()); !why.empty()) {
      return "configuration file " + config.path() + " is refused: " + why;
    }
  }
  std::string lvm = "/sbin/lvm", mm = "/usr/lpp/mmfs/bin";
  config.getString("LVM", "sLvmPath", &lvm);
  config.getString("GPFS", "sCommandDir", &mm);
  if (std::string why = UntrustedBecause(lvm); !why.empty()) return "[LVM] sLvmPath " + lvm + " is refused: " + why;
  for (const char* command : {"", "/mmcrsnapshot", "/mmdelsnapshot", "/mmlsfileset", "/mmlssnapshot", "/mmsnapdir"}) {
    if (std::string why = UntrustedBecause(mm + command); !why.empty()) {
      return "[GPFS] sCommandDir " + mm + " is refused: " + why;
    }
  }
  return "";
}
}  // namespace

ConfigProblems CheckConfiguration() {
  ConfigProblems problems;
  ZRPlatformInfo config = ZRPlatformInfo::Inspect(ZRPlatformInfo::DefaultPath());
  if (!config.found() && ZRPlatformInfo::PathIsNamed()) {
    problems.error = "configuration file " + config.path() + " (named by ZRSNAP_CONFIG) does not exist";
  } else if (!config.problem().empty()) {
    problems.error = "configuration file " + config.path() + ", " + config.problem();
  }
  for (auto& section : config.sections()) {
    if (!KnownKeys().count(section)) problems.warnings.push_back(UnknownSectionWarning(config, section));
  }
  for (auto& entry : config.keys()) {
    const std::string& section = entry.first;
    const std::string& key = entry.second;
    auto known = KnownKeys().find(section);
    if (!section.empty() && known == KnownKeys().end()) continue;  // said of the whole section
    if (section == "SnapCow") continue;
    if (known == KnownKeys().end() || !known->second.count(key)) {
      problems.warnings.push_back(UnknownKeyWarning(config, section, key));
    } else if (IsNumberKey(key) && problems.error.empty()) {
      problems.error = CheckNumber(config, section, key);
    }
  }
  if (problems.error.empty()) problems.error = CheckTrusted(config);
  return problems;
}

std::string DescribeConfiguration() {
  ZRPlatformInfo config = ZRPlatformInfo::Inspect(ZRPlatformInfo::DefaultPath());
  return config.path() + (config.found() ? "" : " (absent: defaults)");
}
