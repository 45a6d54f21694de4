// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/RecordStatus.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>

#include "zr/DurableFile.h"
#include "zr/FXString.h"

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  // The plug-in's reader: never through a link, never waiting on a FIFO, bounded.
  if (int err = zr::ReadLines(path, lines)) {
    throw std::runtime_error("cannot read " + path + ": " + std::strerror(err));
  }
  return lines;
}

std::vector<RecordEntry> ParseRecord(const std::string& recordFile) {
  std::vector<RecordEntry> entries;
  for (auto& line : ReadLines(recordFile)) {
    RecordEntry e;
    e.line = line;
    std::vector<std::string> f;
    e.valid = FXString::Split(line, ":", f, 0) == 3;
    if (e.valid) {
      e.source = f[0];
      e.device = f[1];
      e.mountDir = f[2];
    }
    entries.push_back(e);
  }
  return entries;
}

bool RecordNames(const FlrSnapOS::RDEV& wanted, const FlrSnapOS::Snap& snap) {
  if (!wanted.isUnknownLocal()) return wanted == snap.rdev;
  return snap.rdev.isUnknownLocal() && snap.rdev.getSpecial() == wanted.getSpecial();
}

void AskEngine(std::vector<RecordEntry>& entries, FlrSnapOS::FLR_SNAP_ENG slot, const std::vector<bool>& asked) {
  std::vector<size_t> which;
  std::vector<std::string> specials;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].valid || asked[i]) continue;
    which.push_back(i);
    specials.push_back(entries[i].device);
  }
  std::vector<FlrSnapOS::RecordedSnap> found = FlrSnapOS::findRecorded(slot, specials);
  for (size_t k = 0; k < which.size(); ++k) {
    RecordEntry& e = entries[which[k]];
    e.presence = found[k].presence;
    e.reason = found[k].reason;
    e.exists = found[k].presence == FlrSnapOS::Presence::Present;
    e.mounted = e.exists && found[k].snap->isMounted();
    if (e.exists) e.usage = found[k].snap->usage();
  }
}

std::vector<RecordEntry> ReadRecordStatus(const std::string& recordFile, FlrSnapOS::FLR_SNAP_ENG slot) {
  std::vector<RecordEntry> entries = ParseRecord(recordFile);
  AskEngine(entries, slot, std::vector<bool>(entries.size(), false));
  return entries;
}

RecordPathProblem CheckRecordPath(const std::string& recordFile) {
  struct stat st {};
  if (::stat(recordFile.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return {};
    return {RecordPathProblem::IsFolder, "the record file " + recordFile + " is a folder"};
  }
  if (errno != ENOENT) {
    return {RecordPathProblem::Unusable, "cannot examine the record file " + recordFile + ": " + std::strerror(errno)};
  }
  std::string folder = recordFile.substr(0, recordFile.find_last_of('/'));
  const std::string what = "the folder of the record file, " + folder + ",";
  if (folder.empty()) return {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT) return {RecordPathProblem::NoFolder, what + " does not exist"};
    return {RecordPathProblem::Unusable, what + " cannot be used: " + std::strerror(errno)};
  }
  if (!S_ISDIR(st.st_mode)) return {RecordPathProblem::Unusable, what + " is not a folder"};
  return {};
}

namespace {
Outcome OutcomeOf(const RecordEntry& before, const std::set<std::string>& keptLines) {
  if (keptLines.count(before.line)) return Outcome::Remains;
  if (before.exists) return Outcome::Removed;
  return before.valid ? Outcome::WasGone : Outcome::Invalid;
}
}  // namespace

Recovery CompareRecovery(const std::vector<RecordEntry>& before, const std::vector<std::string>& kept) {
  Recovery r;
  std::set<std::string> keptLines(kept.begin(), kept.end());
  r.remaining = keptLines.size();
  for (auto& e : before) {
    Outcome outcome = OutcomeOf(e, keptLines);
    if (outcome == Outcome::Remains && e.valid && e.presence == FlrSnapOS::Presence::Unknown) ++r.unknown;
    if (outcome == Outcome::Removed) ++r.removed;
    if (outcome == Outcome::WasGone || outcome == Outcome::Invalid) ++r.dropped;
    r.lines.emplace_back(outcome, e.line);
  }
  return r;
}
