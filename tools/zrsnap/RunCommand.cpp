#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "zr/CNeDirectory.h"
#include "zr/CommandRunner.h"
#include "zrsnap/Commands.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace {
void PrintMap(const std::map<std::string, std::string>& pairs, bool json) {
  if (json) {
    std::cout << nlohmann::json(pairs).dump(2) << "\n";
    return;
  }
  size_t width = 6;
  for (auto& p : pairs) width = std::max(width, p.first.size());
  std::printf("%-*s  %s\n", static_cast<int>(width), "SOURCE", "SNAPSHOT");
  for (auto& p : pairs) std::printf("%-*s  %s\n", static_cast<int>(width), p.first.c_str(), p.second.c_str());
}

zr::CommandOptions ExecEnvironment(const std::map<std::string, std::string>& pairs) {
  zr::CommandOptions options;
  options.capture = false;
  options.inheritAll = true;  // the user's own command
  options.environment.emplace_back("ZRSNAP_MAP_JSON", nlohmann::json(pairs).dump());
  options.environment.emplace_back("ZRSNAP_SNAPSHOT_COUNT", std::to_string(pairs.size()));
  int n = 0;
  for (auto& p : pairs) {
    ++n;
    options.environment.emplace_back("ZRSNAP_SOURCE_" + std::to_string(n), p.first);
    options.environment.emplace_back("ZRSNAP_SNAPSHOT_" + std::to_string(n), p.second);
  }
  return options;
}
}  // namespace

int RunJob(const Options& o) {
  if (o.paths.empty()) throw std::invalid_argument("run needs at least one PATH");
  for (auto& dir : {o.stateDir, o.mountRoot}) {
    CNeError made = CNeDirectory::Create(dir, true);
    if (made.IsError()) throw std::runtime_error(made.Message());
  }
  Plugin plugin(o.plugin);
  auto manager = plugin.create(o.kind);
  manager->Initialize(o.dc, o.record, o.map, o.mountRoot);
  std::list<std::string> contents = o.paths;
  CNeError err = manager->CreateAndMountSnap(contents);
  if (err.IsError()) {
    std::fprintf(stderr, "zrsnap: snapshot failed: %s\n", err.Message().c_str());
    return 1;
  }
  auto pairs = manager->GetSourceToLocalMap();
  if (o.exec.empty()) {
    PrintMap(pairs, o.json);
    std::fprintf(stderr, "zrsnap: %zu snapshot(s) stay mounted; remove them with: zrsnap cleanup --record %s\n",
                 pairs.size(), o.record.c_str());
    return 0;
  }
  std::fprintf(stderr, "zrsnap: running backup command over %zu snapshot(s)\n", pairs.size());
  zr::CommandResult backup = zr::RunCommand({"/bin/sh", "-c", o.exec}, ExecEnvironment(pairs));
  CNeError teardown = manager->UnMountSnap();
  if (teardown.IsError()) std::fprintf(stderr, "zrsnap: teardown failed: %s\n", teardown.Message().c_str());
  auto left = ReadLines(o.record);
  if (!left.empty()) {
    std::fprintf(stderr, "zrsnap: %zu snapshot(s) could not be removed and stay recorded in %s\n", left.size(),
                 o.record.c_str());
  }
  if (!backup.ok()) {
    std::fprintf(stderr, "zrsnap: %s\n", backup.describeFailure({"backup command"}).c_str());
    return backup.exitStatus > 0 ? backup.exitStatus : 1;
  }
  return teardown.IsError() || !left.empty() ? 1 : 0;
}
