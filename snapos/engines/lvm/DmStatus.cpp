// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/DmStatus.h"

#include <cstdio>
#include <sstream>

namespace FlrSnapOS {
namespace DmStatus {
namespace {
bool Has(const std::string& status, const std::string& word) {
  std::istringstream in(status);
  for (std::string token; in >> token;) {
    if (token == word) return true;
  }
  return false;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
}  // namespace

std::string SnapshotDamage(const std::string& status) {
  // Without the "O" store option a kernel reports an overflow as "Invalid".
  if (StartsWith(status, "Invalid")) return "is invalid (its copy-on-write space overflowed or failed)";
  if (StartsWith(status, "Overflow")) return "overflowed";
  if (StartsWith(status, "Merge failed")) return "failed to merge";
  return "";
}

std::string ThinPoolDamage(const std::string& status) {
  if (StartsWith(status, "Fail")) return "failed";
  if (StartsWith(status, "Error")) return "cannot read its metadata";
  return "";
}

std::string ThinPoolTrouble(const std::string& status) {
  // The mode keywords never clash with the numeric fields around them.
  if (Has(status, "out_of_data_space")) return "ran out of data space";
  if (Has(status, "ro")) return "went read-only after a metadata failure";
  if (Has(status, "needs_check")) return "needs a metadata check";
  return "";
}

namespace {
// "used/total" as a percentage; false unless both are numbers and total is not 0.
bool Ratio(const std::string& field, double& percent) {
  unsigned long long used = 0, total = 0;
  char tail = 0;
  if (std::sscanf(field.c_str(), "%llu/%llu%c", &used, &total, &tail) != 2 || total == 0) return false;
  percent = 100.0 * static_cast<double>(used) / static_cast<double>(total);
  return true;
}
}  // namespace

bool SnapshotFill(const std::string& status, double& percent) {
  std::istringstream in(status);
  std::string field;
  return static_cast<bool>(in >> field) && Ratio(field, percent);
}

bool PoolFill(const std::string& status, double& data, double& metadata) {
  std::istringstream in(status);
  std::string transaction, meta, blocks;
  return static_cast<bool>(in >> transaction >> meta >> blocks) && Ratio(meta, metadata) && Ratio(blocks, data);
}

std::string ThinDamage(const std::string& status) { return StartsWith(status, "Fail") ? "failed" : ""; }
}  // namespace DmStatus
}  // namespace FlrSnapOS
