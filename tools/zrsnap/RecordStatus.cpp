#include "zrsnap/RecordStatus.h"

#include <fstream>

#include "zr/FXString.h"

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<RecordEntry> ReadRecordStatus(const std::string& recordFile, FlrSnapOS::FLR_SNAP_ENG slot) {
  std::vector<RecordEntry> entries;
  std::list<SP<FlrSnapOS::LV>> volumes;
  for (auto& line : ReadLines(recordFile)) {
    RecordEntry e;
    e.line = line;
    std::vector<std::string> f;
    e.valid = FXString::Split(line, ":", f, 0) == 3;
    if (e.valid) {
      e.source = f[0];
      e.device = f[1];
      e.mountDir = f[2];
      if (volumes.empty()) volumes = FlrSnapOS::getLVList(slot);
      FlrSnapOS::RDEV wanted(e.device);
      for (auto& lv : volumes) {
        for (auto& snap : lv->snaps) {
          if (!e.exists && !wanted.isUnknownLocal() && wanted == snap->rdev) {
            e.exists = true;
            e.mounted = snap->isMounted();
          }
        }
      }
    }
    entries.push_back(e);
  }
  return entries;
}
