#include <cstdio>
#include <set>

#include "zrsnap/Commands.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace {
FlrSnapOS::FLR_SNAP_ENG SlotOf(const Options& o) {
  return o.kind == "gpfs" ? FlrSnapOS::FLR_SNAP_ENG_GPFS : FlrSnapOS::FLR_SNAP_ENG_NATIVE;
}

const char* StateOf(const RecordEntry& e) {
  if (!e.valid) return "invalid line";
  if (!e.exists) return "gone";
  return e.mounted ? "mounted" : "exists, not mounted";
}
}  // namespace

int ShowStatus(const Options& o) {
  auto entries = ReadRecordStatus(o.record, SlotOf(o));
  if (entries.empty()) {
    std::printf("%s names no snapshot\n", o.record.c_str());
    return 0;
  }
  for (auto& e : entries) {
    if (!e.valid) {
      std::printf("%-20s %s\n", StateOf(e), e.line.c_str());
    } else {
      std::printf("%-20s %s  device %s  at %s\n", StateOf(e), e.source.c_str(), e.device.c_str(), e.mountDir.c_str());
    }
  }
  return 0;
}

int CleanupRecord(const Options& o) {
  auto before = ReadRecordStatus(o.record, SlotOf(o));
  Plugin plugin(o.plugin);
  auto manager = plugin.create(o.kind);
  // Exactly what the start of the next job does.
  manager->Initialize(false, o.record, o.map, o.mountRoot);
  auto kept = ReadLines(o.record);
  std::set<std::string> remaining(kept.begin(), kept.end());
  size_t removed = 0, gone = 0;
  for (auto& e : before) {
    if (remaining.count(e.line)) {
      std::printf("remains   %s\n", e.line.c_str());
    } else if (e.exists) {
      ++removed;
      std::printf("removed   %s\n", e.line.c_str());
    } else {
      ++gone;
      std::printf("%-9s %s\n", e.valid ? "was gone" : "invalid", e.line.c_str());
    }
  }
  std::printf("%zu snapshot(s) removed, %zu entr%s without a snapshot dropped, %zu remain recorded in %s\n", removed,
              gone, gone == 1 ? "y" : "ies", remaining.size(), o.record.c_str());
  return remaining.empty() ? 0 : 1;
}
