// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/StatusJson.h"

namespace {
nlohmann::json Job(pid_t holder) {
  if (holder == 0) return nullptr;
  // A holder that has not written its process number yet is still a running job.
  return {{"pid", holder > 0 ? nlohmann::json(holder) : nlohmann::json(nullptr)}};
}

nlohmann::json Entry(const RecordEntry& e, const std::string& leftovers, const std::vector<std::string>& mountedOn) {
  nlohmann::json j{{"line", e.line}, {"valid", e.valid}};
  if (!e.valid) return j;
  j["source"] = e.source;
  j["device"] = e.device;
  j["mountDir"] = e.mountDir;
  j["exists"] = e.exists;
  j["state"] = FlrSnapOS::presenceName(e.presence);
  if (!e.exists) j["reason"] = e.reason;
  j["mounted"] = e.mounted;
  if (!e.usage.empty()) j["usage"] = e.usage;
  j["mountedOn"] = mountedOn;
  j["leftovers"] = leftovers;
  return j;
}

// Added to an entry: what keeps its mounted snapshot busy.
void AddHolders(nlohmann::json& entry, const zr::Holders& holders) {
  nlohmann::json processes = nlohmann::json::array();
  for (auto& p : holders.processes) processes.push_back({{"pid", p.pid}, {"command", p.command}, {"how", p.how}});
  entry["holders"] = processes;
  entry["deviceHolders"] = holders.devices;
}

nlohmann::json Unrecorded(const SeenSnapshot& s) {
  return {{"name", s.snap->name},
          {"device", s.snap->rdev.getSpecial()},
          {"origin", s.origin},
          {"mounted", s.mounted},
          {"mountedOn", s.mountedOn}};
}
}  // namespace

nlohmann::json StatusJson(const Options& o, const StatusReport& report) {
  nlohmann::json entries = nlohmann::json::array(), unrecorded = nlohmann::json::array();
  for (size_t i = 0; i < report.entries.size(); ++i) {
    entries.push_back(Entry(report.entries[i], report.leftovers[i], report.mountedOn[i]));
    if (report.entries[i].valid) AddHolders(entries.back(), report.holders[i]);
  }
  for (auto& s : report.unrecorded) unrecorded.push_back(Unrecorded(s));
  return {{"record", o.record},        {"kind", o.kind},
          {"engine", report.engine},   {"configuration", report.configuration},
          {"job", Job(report.holder)}, {"entries", entries},
          {"unrecorded", unrecorded}};
}

nlohmann::json StatusErrorJson(const Options& o, const std::string& error) {
  return {{"record", o.record}, {"kind", o.kind}, {"error", error}};
}
