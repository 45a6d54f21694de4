// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/LvmReport.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "FlrSnapOSEngine.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
bool LvRow::canBeSnapshotted() const {
  if (hidden() || isThickSnapshot()) return false;
  // A thin LV made as a snapshot of another (a clone now in use) is a volume like
  // any other; only the snapshot manager's own snapshots are never offered.
  if (isThinSnapshot() && isManagerSnapshotName(name)) return false;
  // '-' plain, 'o' origin, 'V' thin, 'r'/'R' raid, 'm'/'M' mirror, 'C' cached.
  return std::string("-oVrRmMC").find(type()) != std::string::npos;
}

dev_t LvRow::device() const {
  return active() ? makedev(static_cast<unsigned>(kernelMajor), static_cast<unsigned>(kernelMinor)) : 0;
}

namespace LvmReport {
const char kFields[] =
    "lv_name,vg_name,lv_dm_path,lv_attr,origin,pool_lv,lv_uuid,lv_size,vg_free,vg_extent_size,lv_kernel_major,"
    "lv_kernel_minor,lv_snapshot_invalid,data_percent,metadata_percent";

namespace {
// lvs nests four levels; the bound keeps every walk of the document short.
const int kMaxDepth = 16;

nlohmann::json ParseBounded(const std::string& json) {
  return nlohmann::json::parse(json, [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    bool opens =
        event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= kMaxDepth) {
      throw ZrException("lvs printed a JSON report nested deeper than " + std::to_string(kMaxDepth) + " levels",
                        EPROTO);
    }
    return true;
  });
}

// A value from the report, cut short for a message.
std::string Quote(const std::string& text) {
  return "\"" + (text.size() > 64 ? text.substr(0, 64) + "..." : text) + "\"";
}

// Which row, in a few words: messages never carry a whole row.
std::string RowName(const nlohmann::json& row) {
  auto it = row.is_object() ? row.find("lv_name") : row.end();
  if (it == row.end() || !it->is_string()) return "a row without one";
  return "the row of LV " + Quote(it->get_ref<const std::string&>());
}

std::string Field(const nlohmann::json& row, const char* name) {
  auto it = row.is_object() ? row.find(name) : row.end();
  if (it == row.end() || !it->is_string()) {
    throw ZrException(std::string("lvs report has no field ") + name + " in " + RowName(row), EPROTO);
  }
  return it->get<std::string>();
}

// Digits only, within 64 bits; what says otherwise is a broken report.
uint64_t Digits(const std::string& text, const char* name, const char* what) {
  errno = 0;
  char* end = nullptr;
  unsigned long long value = text.empty() ? 0 : std::strtoull(text.c_str(), &end, 10);
  if (text.find_first_not_of("0123456789") != std::string::npos || errno == ERANGE || (end && *end)) {
    throw ZrException(std::string("lvs report field ") + name + " is not " + what + ": " + Quote(text), EPROTO);
  }
  return value;
}

uint64_t Number(const nlohmann::json& row, const char* name) {
  return Digits(Field(row, name), name, "a number of bytes");
}

// Kernel numbers are "-1" for an inactive LV, and "" in some versions.
int KernelNumber(const nlohmann::json& row, const char* name) {
  std::string text = Field(row, name);
  if (text.empty() || text[0] == '-') return -1;
  uint64_t value = Digits(text, name, "a device number");
  if (value > 0xfffff)
    throw ZrException(std::string("lvs report field ") + name + " is out of range: " + Quote(text), EPROTO);
  return static_cast<int>(value);
}
// "12.50", or "" where the field does not apply; older reports lack it.
double Percent(const nlohmann::json& row, const char* name) {
  auto it = row.is_object() ? row.find(name) : row.end();
  if (it == row.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) return -1;
  const std::string text = it->get<std::string>();
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.find_first_not_of("0123456789.") != std::string::npos || (end && *end) || value > 100) {
    throw ZrException(std::string("lvs report field ") + name + " is not a percentage: " + Quote(text), EPROTO);
  }
  return value;
}

// The engine asks for --binary ("1" invalid, "0" valid, "-1" not a snapshot);
// the word is what lvm prints without it. State 'I' or 'S' is an invalid snapshot.
bool Invalid(const std::string& value, const std::string& attr) {
  return value == "1" || value == "snapshot invalid" || (attr.size() > 4 && (attr[4] == 'I' || attr[4] == 'S'));
}

// A line of lvm's JSON report starts, after blanks, with one of these.
bool IsReportLine(const std::string& line) {
  size_t first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || std::string("{}[]\",").find(line[first]) != std::string::npos;
}
}  // namespace

std::string ReportLines(const std::string& out, std::vector<std::string>& other) {
  std::string json;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (IsReportLine(line)) {
      json += line + "\n";
    } else {
      other.push_back(line.substr(line.find_first_not_of(" \t")));
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return json;
}

std::vector<LvRow> Parse(const std::string& json) {
  nlohmann::json doc;
  try {
    doc = ParseBounded(json);
  } catch (const nlohmann::json::exception& e) {
    throw ZrException(std::string("lvs printed no readable JSON report: ") + e.what(), EPROTO);
  }
  if (!doc.is_object() || !doc.contains("report") || !doc["report"].is_array()) {
    throw ZrException("lvs printed JSON without a \"report\" list", EPROTO);
  }
  std::vector<LvRow> rows;
  for (auto& part : doc["report"]) {
    if (!part.is_object() || !part.contains("lv") || !part["lv"].is_array()) {
      throw ZrException("lvs report has a part without an \"lv\" list", EPROTO);
    }
    for (auto& row : part["lv"]) {
      LvRow r;
      r.name = Field(row, "lv_name");
      r.vg = Field(row, "vg_name");
      r.dmPath = Field(row, "lv_dm_path");
      r.attr = Field(row, "lv_attr");
      r.origin = Field(row, "origin");
      r.pool = Field(row, "pool_lv");
      r.uuid = Field(row, "lv_uuid");
      r.size = Number(row, "lv_size");
      r.vgFree = Number(row, "vg_free");
      r.vgExtentSize = Number(row, "vg_extent_size");
      r.kernelMajor = KernelNumber(row, "lv_kernel_major");
      r.kernelMinor = KernelNumber(row, "lv_kernel_minor");
      r.snapshotInvalid = Invalid(Field(row, "lv_snapshot_invalid"), r.attr);
      r.dataPercent = Percent(row, "data_percent");
      r.metadataPercent = Percent(row, "metadata_percent");
      if (row.contains("lv_layout")) r.layout = Field(row, "lv_layout");
      if (r.name.empty() || r.vg.empty() || r.attr.size() < 5) {
        throw ZrException("lvs report lacks a name, a volume group or attributes in " + RowName(row), EPROTO);
      }
      rows.push_back(std::move(r));
    }
  }
  return rows;
}

std::string DmName(const std::string& vg, const std::string& lv) {
  auto escape = [](const std::string& s) {
    std::string out;
    for (char c : s) out += c == '-' ? std::string("--") : std::string(1, c);
    return out;
  };
  return escape(vg) + "-" + escape(lv);
}

bool SplitDmName(const std::string& dmName, std::string& vg, std::string& lv) {
  std::string part;
  bool split = false;
  for (size_t i = 0; i < dmName.size(); ++i) {
    if (dmName[i] != '-') {
      part += dmName[i];
    } else if (i + 1 < dmName.size() && dmName[i + 1] == '-') {
      part += '-';
      ++i;
    } else if (split) {
      return false;  // a third part: a layer such as "-cow", not an LV
    } else {
      vg.swap(part);
      part.clear();
      split = true;
    }
  }
  lv = part;
  return split && !vg.empty() && !lv.empty();
}
}  // namespace LvmReport
}  // namespace FlrSnapOS
