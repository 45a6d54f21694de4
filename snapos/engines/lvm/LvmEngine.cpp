// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/LvmEngine.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "engines/lvm/BtrfsRule.h"
#include "engines/lvm/DmStatus.h"
#include "engines/lvm/LvmErrors.h"
#include "engines/lvm/LvmMessages.h"
#include "zr/EvDebug.h"
#include "zr/FXPath.h"
#include "zr/Holders.h"
#include "zr/LogWriter.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
const uint64_t kMiB = 1024 * 1024;
const char kFunction[] = "FlrSnapOS::LvmEngine";

std::set<std::string> TouchedBy(const std::string& vg, const std::string& snap, const std::string& origin) {
  return {"dm:" + LvmReport::DmName(vg, snap), "dm:" + LvmReport::DmName(vg, snap) + "-cow",
          "dm:" + LvmReport::DmName(vg, origin) + "-real", "backup:" + vg};
}

// --binary: two-valued fields read "0"/"1" whatever report/binary_values_as_numeric says.
std::vector<std::string> ReportArgs() {
  return {"lvs", "--reportformat", "json", "--binary", "--units", "b", "--nosuffix", "-o", LvmReport::kFields};
}

// The device text of LV lv of vg, in the folder where lvm puts origin's (lvs's lv_dm_path).
std::string DmPath(const std::string& originPath, const std::string& vg, const std::string& lv) {
  return originPath.substr(0, originPath.rfind('/') + 1) + LvmReport::DmName(vg, lv);
}

// The node under /dev/mapper may be missing (no udev) or not there yet; the
// kernel's numbers in the report are the device's identity.
void UseKernelNumbers(RDEV& rdev, const LvRow& r) { rdev.devNumber = r.device(); }

// The block device a mount shows: btrfs puts an anonymous device number in the
// mount table, so the source's node, when there is one, is asked first.
dev_t MountedDevice(const zr::MountRecord& m) {
  struct stat st {};
  if (m.source.compare(0, 5, "/dev/") == 0 && ::stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    return st.st_rdev;
  }
  return m.devno;
}

// "2.02.133(2)" from `lvm version`, or "".
std::string VersionIn(const std::string& text) {
  size_t at = text.find("LVM version:");
  if (at == std::string::npos) return "";
  size_t start = text.find_first_not_of(" \t", at + 12);
  size_t end = text.find_first_of(" \t\n", start);
  return start == std::string::npos ? "" : text.substr(start, end - start);
}

// False too when the version cannot be read.
bool VersionBefore(const std::string& version, int major, int minor, int patch) {
  int a = 0, b = 0, c = 0;
  if (std::sscanf(version.c_str(), "%d.%d.%d", &a, &b, &c) != 3) return false;
  return std::make_tuple(a, b, c) < std::make_tuple(major, minor, patch);
}

bool OlderThanJsonReport(const std::string& version) { return VersionBefore(version, 2, 2, 158); }

// "cache,cachevol" holds the word "cachevol"; "writecache,cachevol" does not hold "cache".
bool HasWord(const std::string& list, const std::string& word) {
  return ("," + list + ",").find("," + word + ",") != std::string::npos;
}

// Lines of a command's output, without their indent, joined by " | ".
std::string OneLine(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t start = text.find_first_not_of(" \t", at);
    if (start < end) out += (out.empty() ? "" : " | ") + text.substr(start, end - start);
    at = end + 1;
  }
  return out;
}
}  // namespace

LvmEngine::LvmEngine(Config config, std::shared_ptr<MountOps> mounts)
    : m_config(std::move(config)), m_mounts(std::move(mounts)) {}

std::shared_ptr<LvmEngine> LvmEngine::FromConfig(const ZRPlatformInfo& info) {
  Config c;
  info.getString("LVM", "sLvmPath", &c.lvm);
  unsigned long timeout = c.timeoutSeconds;
  if (info.getNumber("LVM", "nTimeoutSeconds", &timeout)) c.timeoutSeconds = static_cast<unsigned>(timeout);
  unsigned long percent = 0;
  if (info.getNumber("LVM", "nSnapCowPercent", &percent))
    c.cowPercent = static_cast<unsigned>(std::min(percent, 100ul));
  if (info.getNumber("LVM", "nThinPoolMaxPercent", &percent)) {
    c.thinPoolMaxPercent = static_cast<unsigned>(std::min(percent, 100ul));
  }
  c.volumeCow = [info](const std::string& key) {
    std::string value;
    info.getString("SnapCow", key, &value);
    return value;
  };
  return std::make_shared<LvmEngine>(c, MakeLibmountOps());
}

unsigned LvmEngine::lvmRuns() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_runs;
}

zr::CommandResult LvmEngine::run(const std::vector<std::string>& args, bool killable) {
  std::vector<std::string> argv{m_config.lvm};
  argv.insert(argv.end(), args.begin(), args.end());
  zr::CommandOptions options;
  options.timeoutSeconds = m_config.timeoutSeconds;
  options.environment = {{"LVM_SUPPRESS_FD_WARNINGS", "1"}};
  // Where the administrator keeps lvm.conf, and udev-less systems (lvm(8) ENVIRONMENT).
  options.inherit = {"LVM_SYSTEM_DIR", "DM_DISABLE_UDEV"};
  // lvcreate and lvremove suspend the origin while they load the snapshot:
  // a command that changes LVM is never killed half-way.
  options.killOnTimeout = killable;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_runs;
  }
  return zr::RunCommand(argv, options);
}

std::string LvmEngine::failure(const std::vector<std::string>& args, const zr::CommandResult& r) const {
  std::vector<std::string> argv{m_config.lvm};
  if (m_config.root) {
    argv.insert(argv.end(), args.begin(), args.end());
  } else {
    argv.push_back(args.front());
  }
  std::string text = r.describeEnd(argv);
  std::string reason = LvmErrors::Reason(r.err);
  if (!reason.empty()) text += ": " + reason;
  if (m_config.root) return text;
  return "lvm needs root, and this process runs as user " + std::to_string(::geteuid()) + ": " + text;
}

std::string LvmEngine::runOrThrow(const std::vector<std::string>& args, bool killable) {
  return outputOf(args, run(args, killable), killable);
}

std::string LvmEngine::outputOf(const std::vector<std::string>& args, const zr::CommandResult& r, bool killable) {
  // A change that lvm finished after its time is made all the same.
  if (r.exitStatus == 0 && (!r.timedOut || !killable)) {
    if (r.timedOut) {
      EvDebug().Error(kFunction, "lvm %s succeeded, but only after more than %u s", args.front().c_str(),
                      m_config.timeoutSeconds);
    }
    return r.out;
  }
  throw ZrException(failure(args, r));  // an exit status is no errno
}

std::string LvmEngine::version() { return VersionIn(run({"version"}, true).out); }

std::string LvmEngine::reportFailure(const std::vector<std::string>& args, const zr::CommandResult& r) {
  std::string message = failure(args, r);
  if (!m_config.root || r.timedOut) return message;
  std::string version = this->version();
  if (OlderThanJsonReport(version)) {
    return "lvm " + version + " is too old: this engine reads the JSON report of lvs, which lvm has since 2.02.158 (" +
           message + ")";
  }
  return message;
}

// lvs exits non-zero when any volume group cannot be read (a missing PV, a
// foreign, exported or clustered VG), yet prints a complete report of the
// others: a report that parses is used, and what lvs said is logged. lvm may
// print its own lines into the report; those are logged too, and a report that
// still does not parse is asked for once more.
std::vector<LvRow> LvmEngine::readReport() {
  const std::vector<std::string> args = ReportArgs();
  for (int attempt = 1;; ++attempt) {
    zr::CommandResult r = run(args, true);
    if (r.timedOut) throw ZrException(failure(args, r));
    if (!r.err.empty()) EvDebug().Error(kFunction, "lvs reported: %s", OneLine(r.err).c_str());
    std::vector<std::string> other;
    std::string json = LvmReport::ReportLines(r.out, other);
    for (auto& line : other) EvDebug().Error(kFunction, "lvs printed into its report: %s", line.c_str());
    std::vector<LvRow> rows;
    try {
      rows = LvmReport::Parse(json);
    } catch (const ZrException& e) {
      if (attempt == 1) {
        EvDebug().Error(kFunction, "%s; running lvs once more", e.getMessage());
        continue;
      }
      if (r.exitStatus != 0) throw ZrException(reportFailure(args, r));
      throw;
    }
    if (r.exitStatus == 0) return rows;
    // A failed lvs that lists nothing said nothing usable.
    if (rows.empty()) throw ZrException(reportFailure(args, r));
    EvDebug().Error(kFunction, "%s; using its report of the volume groups it could read", failure(args, r).c_str());
    return rows;
  }
}

// Every LV that can hold a mounted file system, and every snapshot, is a
// device-mapper device while active; creating, removing, renaming, activating
// or deactivating one changes the dm devices listed in /sys/block (their
// names, uuids or numbers), and any other metadata change (a VG extended, an
// inactive LV made) rewrites the VG's metadata backup. So while neither has
// changed, the last report still says everything the managers read of it.
std::vector<LvRow> LvmEngine::rows() {
  DmState::Signature now = DmState::Read(m_config.sysBlock, m_config.backupDir);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_valid && now == m_signature) return m_rows;
  }
  std::vector<LvRow> fresh = readReport();
  std::lock_guard<std::mutex> hold(m_lock);
  m_rows = fresh;
  m_signature = now;
  m_valid = true;
  return fresh;
}

void LvmEngine::forgetReport() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_valid = false;
}

LvRow LvmEngine::row(const std::string& id) {
  for (auto& r : rows()) {
    if (r.id() == id) return r;
  }
  throw ZrException("LVM reports no logical volume " + id, ENOENT);
}

SP<Snap> LvmEngine::snapOf(const LvRow& r) {
  SP<Snap> snap(new Snap(shared_from_this(), r.dmPath, r.name, r.id()));
  UseKernelNumbers(snap->rdev, r);
  return snap;
}

std::list<SP<LV>> LvmEngine::listVolumes(FLR_SNAP_ENG) {
  std::vector<LvRow> all = rows();
  std::list<SP<LV>> out;
  for (auto& r : all) {
    if (!r.canBeSnapshotted()) continue;
    SP<LV> lv(new LV(shared_from_this(), r.dmPath, r.id()));
    UseKernelNumbers(lv->rdev, r);
    for (auto& s : all) {
      if (s.isSnapshot() && s.vg == r.vg && s.origin == r.name) lv->snaps.push_back(snapOf(s));
    }
    out.push_back(lv);
  }
  return out;
}

RecordedSnap LvmEngine::findIn(const std::vector<LvRow>& all, const std::string& special) {
  RecordedSnap found;
  std::string vg, lv;
  const size_t slash = special.rfind('/');
  if (slash == std::string::npos || !LvmReport::SplitDmName(special.substr(slash + 1), vg, lv)) {
    // Not a name lvm gives: only the node, followed where udev made a link, can tell.
    struct stat st {};
    if (::stat(special.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      for (auto& r : all) {
        if (r.active() && r.device() == st.st_rdev) return RecordedSnap{Presence::Present, snapOf(r), ""};
      }
    }
    found.reason = special + " is not the device path of an LVM logical volume";
    return found;
  }
  bool vgRead = false;
  for (auto& r : all) {
    if (r.vg != vg) continue;
    vgRead = true;
    if (r.name == lv) return RecordedSnap{Presence::Present, snapOf(r), ""};
  }
  if (vgRead) {
    found.presence = Presence::Absent;
    found.reason = "volume group " + vg + " has no logical volume " + lv;
  } else {
    found.reason = "volume group " + vg + " is not in lvs's report (not visible on this system yet, or unreadable)";
  }
  return found;
}

std::vector<RecordedSnap> LvmEngine::findRecorded(FLR_SNAP_ENG, const std::vector<std::string>& specials) {
  std::vector<RecordedSnap> out;
  std::vector<LvRow> all = rows();
  for (auto& special : specials) out.push_back(findIn(all, special));
  for (auto& answer : out) {
    if (answer.presence != Presence::Absent) continue;
    // Gone is said only on a report read now, never on a cached one.
    forgetReport();
    all = rows();
    for (size_t i = 0; i < specials.size(); ++i) out[i] = findIn(all, specials[i]);
    break;
  }
  return out;
}

uint64_t LvmEngine::enoughSpace(LvRow& origin, uint32_t cowSizeMB) {
  try {
    return checkFreeSpace(origin, cowSizeMB);
  } catch (const ZrException&) {
    // The report may be older than the space it describes: refuse only on a fresh one.
    forgetReport();
    origin = row(origin.id());
    return checkFreeSpace(origin, cowSizeMB);
  }
}

LvmEngine::CowSize LvmEngine::cowSize(const LvRow& origin, uint32_t cowSizeMB) const {
  CowSize size;
  uint64_t want = uint64_t{cowSizeMB} * kMiB;
  size.source = "nSnapCowSizeMB is " + std::to_string(cowSizeMB);
  if (m_config.cowPercent) {
    want = origin.size / 100 * m_config.cowPercent;
    size.source = "nSnapCowPercent is " + std::to_string(m_config.cowPercent);
  }
  for (const std::string& key : {origin.id(), origin.vg}) {
    const std::string text = m_config.volumeCow(key);
    if (text.empty()) continue;
    char* end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    const bool percent = end && *end == '%' && end[1] == '\0';
    if (text.find_first_not_of("0123456789%") != std::string::npos || !end || (*end && !percent) || n == 0 ||
        (percent && n > 100)) {
      throw ZrException("[SnapCow] " + key + " = \"" + text + "\" is neither MiB nor a percentage (1% to 100%)",
                        EINVAL);
    }
    want = percent ? origin.size / 100 * n : n * kMiB;
    size.source = "[SnapCow] " + key + " is " + text;
    break;
  }
  // lvcreate caps a copy-on-write area larger than its origin; rounds up to whole extents.
  want = std::max<uint64_t>(std::min<uint64_t>(want, origin.size), 1);
  uint64_t extent = origin.vgExtentSize ? origin.vgExtentSize : 4 * kMiB;
  size.bytes = (want + extent - 1) / extent * extent;
  return size;
}

std::string LvmEngine::shortfallIn(const std::vector<LvRow>& all, const std::list<SP<LV>>& origins,
                                   uint32_t cowSizeMB) {
  struct Group {
    uint64_t free = 0, need = 0;
    std::string parts;
  };
  std::map<std::string, Group> groups;
  std::set<std::string> pools;
  for (auto& lv : origins) {
    LvRow origin;
    for (auto& r : all) {
      if (r.id() == lv->id) origin = r;
    }
    if (origin.name.empty()) continue;  // not this engine's: its own create says why
    if (origin.isThin()) {
      pools.insert(origin.vg + "/" + origin.pool);
      continue;
    }
    CowSize size = cowSize(origin, cowSizeMB);
    Group& g = groups[origin.vg];
    g.free = origin.vgFree;
    g.need += size.bytes;
    g.parts += (g.parts.empty() ? "" : ", ") + origin.id() + " " + std::to_string(size.bytes / kMiB) + " MiB";
  }
  std::string why;
  auto add = [&why](const std::string& part) { why += (why.empty() ? "" : "; ") + part; };
  for (auto& kv : groups) {
    if (kv.second.need <= kv.second.free) continue;
    add("volume group " + kv.first + " has " + std::to_string(kv.second.free / kMiB) + " MiB free, the job's " +
        "snapshots need " + std::to_string(kv.second.need / kMiB) + " MiB (" + kv.second.parts + ")");
  }
  for (auto& r : all) {
    if (!pools.count(r.id())) continue;
    const double limit = m_config.thinPoolMaxPercent;
    if (r.dataPercent < limit && r.metadataPercent < limit) continue;
    char figures[128];
    std::snprintf(figures, sizeof figures, "%.2f%% of its data and %.2f%% of its metadata", r.dataPercent,
                  r.metadataPercent);
    add("thin pool " + r.id() + " uses " + figures + ", at or above nThinPoolMaxPercent " +
        std::to_string(m_config.thinPoolMaxPercent));
  }
  return why;
}

std::string LvmEngine::spaceShortfall(const std::list<SP<LV>>& origins, uint32_t cowSizeMB) {
  std::string why = shortfallIn(rows(), origins, cowSizeMB);
  if (why.empty()) return why;
  // Refused only on a report read for the question.
  forgetReport();
  return shortfallIn(rows(), origins, cowSizeMB);
}

uint64_t LvmEngine::checkFreeSpace(const LvRow& origin, uint32_t cowSizeMB) {
  CowSize size = cowSize(origin, cowSizeMB);
  const uint64_t want = size.bytes;
  if (origin.vgFree >= want) return want;
  throw ZrException("Cannot snapshot " + origin.id() + ": volume group " + origin.vg + " has " +
                        std::to_string(origin.vgFree / kMiB) + " MiB free, the snapshot needs " +
                        std::to_string(want / kMiB) + " MiB (" + size.source + ")",
                    ENOSPC);
}

LvRow LvmEngine::created(const LvRow& origin, const std::string& name, uint64_t allocated,
                         const DmState::Signature& now) {
  LvRow r;
  r.size = allocated;  // a thick snapshot's size is its copy-on-write space
  r.name = name;
  r.vg = origin.vg;
  r.origin = origin.name;
  r.pool = origin.pool;
  r.dmPath = DmPath(origin.dmPath, origin.vg, name);
  r.attr = origin.isThin() ? "Vwi-a-tz-k" : "swi-a-s---";
  DmState::KernelNumbers(now, LvmReport::DmName(origin.vg, name), r.kernelMajor, r.kernelMinor);
  return r;
}

void LvmEngine::noteOwnChange(const DmState::Signature& before, const DmState::Signature& after,
                              const std::set<std::string>& keys,
                              const std::function<void(std::vector<LvRow>&)>& apply) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_valid && before == m_signature && DmState::OnlyTouches(before, after, keys)) {
    apply(m_rows);
    m_signature = after;
  } else {
    m_valid = false;
  }
}

std::string LvmEngine::fileSystemOf(const LvRow& lv) {
  if (!lv.active()) return "";
  for (auto& m : m_mounts->table()) {
    if (m.source == lv.dmPath || MountedDevice(m) == lv.device()) return m.fstype;
  }
  return "";
}

void LvmEngine::refuseBtrfs(const LvRow& origin) {
  if (fileSystemOf(origin) != "btrfs") return;
  std::string why = BtrfsSnapshotRefusal(m_config.sysFsBtrfs,
                                         DmState::BlockName(m_config.sysBlock, origin.kernelMajor, origin.kernelMinor));
  if (why.empty()) return;
  throw ZrException(
      "Cannot snapshot " + origin.id() + ": it holds btrfs, and a snapshot carries the same file-system UUID; " + why,
      EOPNOTSUPP);
}

// lvm before 2.03.21 checks the cache of an LV cached through a cache volume
// while it loads a snapshot of it, the check fails, and lvcreate stops
// half-way (fixed by lvm2's "cache: fix snapshot of cache with cachevol").
// A cache pool or a writecache is not affected. Asked only of cached origins.
void LvmEngine::refuseCacheVolume(const LvRow& origin) {
  if (origin.type() != 'C' || origin.pool.size() < 3 || origin.pool.front() != '[') return;
  const std::string pool = origin.vg + "/" + origin.pool.substr(1, origin.pool.size() - 2);  // "[fast_cvol]"
  std::vector<std::string> args = ReportArgs();
  args.back() += ",lv_layout";
  args.insert(args.end(), {"-a", pool});
  std::string lvm;
  try {
    std::vector<std::string> other;
    std::vector<LvRow> found = LvmReport::Parse(LvmReport::ReportLines(runOrThrow(args, true), other));
    if (found.empty() || !HasWord(found.front().layout, "cache") || !HasWord(found.front().layout, "cachevol")) return;
    lvm = version();
  } catch (const ZrException& e) {
    EvDebug().Error(kFunction, "Cannot tell how %s is cached: %s", origin.id().c_str(), e.formatError().c_str());
    return;
  }
  if (!VersionBefore(lvm, 2, 3, 21)) return;
  throw ZrException("Cannot snapshot " + origin.id() + ": it is cached through the cache volume " + pool +
                        " (lvconvert --cachevol), and lvm " + lvm +
                        " cannot snapshot such an LV (lvm 2.03.21 can): its lvcreate fails half-way. Detach the "
                        "cache (lvconvert --splitcache " +
                        origin.id() + ") or cache the LV through a cache pool (--cachepool)",
                    EOPNOTSUPP);
}

void LvmEngine::checkSuspended(const std::string& vg, std::string& message) {
  const std::string prefix = LvmReport::DmName(vg, "");
  for (auto& name : DmState::Suspended(m_config.sysBlock, prefix)) {
    if (name.size() > prefix.size() && name[prefix.size()] == '-') continue;  // another VG: "vg--x-..."
    EvDebug().Error(kFunction,
                    "Device-mapper device %s is left suspended: every write to it waits until it is resumed "
                    "(dmsetup resume %s)",
                    name.c_str(), name.c_str());
    message += "; device-mapper device " + name + " is left suspended, so writes to it hang until it is resumed";
  }
}

std::set<std::string> LvmEngine::uuidsNamed(const std::string& vg, const std::string& name) {
  std::set<std::string> out;
  for (auto& r : rows()) {
    if (r.vg == vg && r.name == name) out.insert(r.uuid);
  }
  return out;
}

std::string LvmEngine::frozenHint(const LvRow& origin) {
  std::string where;
  for (auto& m : m_mounts->table()) {
    if (m.source == origin.dmPath || (origin.active() && MountedDevice(m) == origin.device())) where = m.target;
  }
  return "; the kernel refused to suspend " + origin.id() +
         " (Device or resource busy), as it does while its file system is frozen: thaw it (fsfreeze --unfreeze " +
         (where.empty() ? std::string("MOUNTPOINT") : where) + ") and run the job again";
}

bool LvmEngine::removeLeftover(const LvRow& origin, const std::string& name, const std::set<std::string>& before,
                               std::string& message) {
  const std::string id = origin.vg + "/" + name;
  forgetReport();
  try {
    bool vgListed = false;
    for (auto& r : rows()) {
      if (r.vg != origin.vg) continue;
      vgListed = true;
      if (r.name != name) continue;
      // Only an LV that was not there before the command is of its making.
      if (before.count(r.uuid)) return true;
      removeSnapshot(r);
      message += std::string("; the ") + (r.isSnapshot() ? "snapshot " : "logical volume ") + id +
                 " it made was removed again";
      return false;
    }
    if (!vgListed) message += "; lvs does not list volume group " + origin.vg + " now, so " + id + " may be left";
  } catch (const ZrException& e) {
    message += "; the logical volume " + id + " may be left: " + e.formatError();
  }
  return false;
}

// lvm may fail after it has made the LV under our name: as a snapshot, or as
// the plain LV of its copy-on-write area when it could not load the snapshot
// (a suspend that failed). Whatever it left is removed, or the message says so.
void LvmEngine::runCreate(const LvRow& origin, const std::string& name, const std::vector<std::string>& args) {
  const std::set<std::string> before = uuidsNamed(origin.vg, name);
  zr::CommandResult r = run(args, false);
  try {
    outputOf(args, r, false);
  } catch (const ZrException& e) {
    std::string message = e.getMessage();
    // lvm checks the name before it makes anything: the manager tries the next one.
    if (LvmMessages::NameTaken(r.err, origin.vg, name)) throw ZrException(message, EEXIST);
    if (LvmMessages::SuspendBusy(r.err)) message += frozenHint(origin);
    checkSuspended(origin.vg, message);
    bool taken = removeLeftover(origin, name, before, message);
    throw ZrException(message, taken ? EEXIST : 0);  // an exit status is no errno
  }
}

SP<Snap> LvmEngine::createSnap(const LV& lv, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) {
  LvRow origin = row(lv.id);
  refuseBtrfs(origin);
  refuseCacheVolume(origin);
  DmState::Signature before = DmState::Read(m_config.sysBlock, m_config.backupDir);
  std::vector<std::string> args{"lvcreate", "--yes", "--snapshot", "--name", name};
  uint64_t allocated = 0;
  if (origin.isThin()) {
    // A thin snapshot skips activation, so one a crash left behind stays down at
    // boot (active, it could take its origin's /dev/disk/by-uuid link); ours is
    // activated for the job only.
    args.insert(args.end(), {"--setactivationskip", "y", "--ignoreactivationskip", "--activate", "y"});
  } else {
    allocated = enoughSpace(origin, cowSizeMB);
    ZR_LOG(ZR_LOG_PROGRESS, kFunction, "Snapshot %s of %s gets %llu MiB of copy-on-write space (%s)", name.c_str(),
           origin.id().c_str(), static_cast<unsigned long long>(allocated / kMiB),
           cowSize(origin, cowSizeMB).source.c_str());
    args.insert(args.end(), {"--size", std::to_string(allocated / kMiB) + "m"});
  }
  args.push_back(origin.id());
  runCreate(origin, name, args);
  DmState::Signature after = DmState::Read(m_config.sysBlock, m_config.backupDir);
  LvRow snap = created(origin, name, allocated, after);
  noteOwnChange(before, after, TouchedBy(origin.vg, name, origin.name), [&](std::vector<LvRow>& rows) {
    for (auto& r : rows) {
      if (r.vg == origin.vg) r.vgFree -= std::min(r.vgFree, allocated);
    }
    rows.push_back(snap);
  });

  try {
    std::string fstype = m_mounts->probe(snap.dmPath);
    if (fstype.empty()) throw ZrException("Cannot tell the file system on " + snap.dmPath, EINVAL);
    m_mounts->mount(snap.dmPath, mountDir, fstype, MountOptions(fstype));
  } catch (const ZrException& e) {
    try {
      removeSnapshot(snap);
    } catch (const ZrException& undo) {
      throw ZrException(std::string(e.getMessage()) + "; the snapshot " + snap.id() +
                            " could not be removed again: " + undo.getMessage(),
                        e.getErrno());
    }
    throw;
  }
  SP<Snap> out(new Snap(shared_from_this(), snap.dmPath, name, snap.id()));
  UseKernelNumbers(out->rdev, snap);
  return out;
}

std::string LvmEngine::snapshotSpecial(const LV& origin, const std::string& name) {
  return DmPath(origin.rdev.getSpecial(), origin.id.substr(0, origin.id.find('/')), name);
}

std::string LvmEngine::MountOptions(const std::string& fstype) {
  std::string options = "ro,nodev,nosuid";
  // An XFS snapshot carries its origin's UUID. Our snapshots are writable
  // devices, so XFS and ext4 replay their logs into the copy-on-write space and
  // show a consistent tree; norecovery would only be needed (and would show an
  // unreplayed tree) on a read-only snapshot, which we never make.
  if (fstype == "xfs") options += ",nouuid";
  return options;
}

bool LvmEngine::isMounted(const Snap& snap) {
  if (snap.rdev.devNumber == 0) return false;
  for (auto& m : m_mounts->table()) {
    if (MountedDevice(m) == snap.rdev.devNumber) return true;
  }
  return false;
}

bool LvmEngine::isMountedAt(const Snap& snap, const std::string& dir) {
  const std::string target = FXPath::Resolve(dir);
  std::vector<zr::MountRecord> table = m_mounts->table();
  // The last mount on a directory is the one seen there.
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->target == target) return snap.rdev.devNumber != 0 && MountedDevice(*it) == snap.rdev.devNumber;
  }
  return false;
}

bool LvmEngine::statusOf(const std::string& dmName, const std::string& type, std::string& status) {
  DmState::Target target;
  int err = 0;
  if (!m_config.dmStatus(dmName, target, err)) {
    // ENXIO: no such device, as for a pool that has no -tpool layer.
    if (err != ENXIO) {
      EvDebug().Error(kFunction, "Cannot read the device-mapper status of %s: %s", dmName.c_str(), std::strerror(err));
    }
    return false;
  }
  status = target.status;
  return target.type == type;
}

std::string LvmEngine::thinDamage(const LvRow& snap) {
  std::string status;
  if (statusOf(LvmReport::DmName(snap.vg, snap.name), "thin", status)) {
    std::string why = DmStatus::ThinDamage(status);
    if (!why.empty()) return "thin snapshot " + snap.id() + " " + why;
  }
  if (snap.pool.empty()) return "";
  // A pool in use is its "-tpool" layer; an unused one may be its own device.
  const std::string pool = LvmReport::DmName(snap.vg, snap.pool);
  if (statusOf(pool + "-tpool", "thin-pool", status) || statusOf(pool, "thin-pool", status)) {
    std::string why = DmStatus::ThinPoolDamage(status);
    if (!why.empty()) return "thin pool " + snap.vg + "/" + snap.pool + " " + why;
    std::string trouble = DmStatus::ThinPoolTrouble(status);
    if (!trouble.empty()) {
      EvDebug().Error(kFunction,
                      "Thin pool %s/%s %s: writes to its thin volumes, the origin of %s included, fail or wait until "
                      "it is repaired or extended; the snapshot still reads whole",
                      snap.vg.c_str(), snap.pool.c_str(), trouble.c_str(), snap.id().c_str());
    }
  }
  return "";
}

std::string LvmEngine::damage(const Snap& s) {
  LvRow snap;
  try {
    snap = row(s.id);
  } catch (const ZrException& e) {
    EvDebug().Error(kFunction, "Cannot tell whether %s is complete: %s", s.id.c_str(), e.formatError().c_str());
    return "";
  }
  if (snap.isThinSnapshot()) return thinDamage(snap);
  if (!snap.isThickSnapshot()) return "";
  std::string status;
  std::string why = statusOf(LvmReport::DmName(snap.vg, snap.name), "snapshot", status)
                        ? DmStatus::SnapshotDamage(status)
                        : (snap.snapshotInvalid ? DmStatus::SnapshotDamage("Invalid") : "");
  return why.empty() ? "" : "snapshot " + snap.id() + " " + why;
}

std::string LvmEngine::usage(const Snap& s) {
  LvRow snap;
  try {
    snap = row(s.id);
  } catch (const ZrException&) {
    return "";
  }
  std::string status;
  char text[160] = "";
  double data = 0, metadata = 0;
  if (snap.isThickSnapshot() && statusOf(LvmReport::DmName(snap.vg, snap.name), "snapshot", status) &&
      DmStatus::SnapshotFill(status, data)) {
    std::snprintf(text, sizeof text, "%.2f%% of its %llu MiB copy-on-write space", data,
                  static_cast<unsigned long long>(snap.size / kMiB));
  } else if (snap.isThinSnapshot() && !snap.pool.empty()) {
    const std::string pool = LvmReport::DmName(snap.vg, snap.pool);
    if ((statusOf(pool + "-tpool", "thin-pool", status) || statusOf(pool, "thin-pool", status)) &&
        DmStatus::PoolFill(status, data, metadata)) {
      std::snprintf(text, sizeof text, "its thin pool %s/%s: %.2f%% of data and %.2f%% of metadata", snap.vg.c_str(),
                    snap.pool.c_str(), data, metadata);
    }
  }
  return text;
}

void LvmEngine::removeSnapshot(const LvRow& snap) {
  DmState::Signature before = DmState::Read(m_config.sysBlock, m_config.backupDir);
  try {
    try {
      runOrThrow({"lvremove", "--yes", snap.id()}, false);
    } catch (const ZrException&) {
      // An inactive or invalid snapshot may need force; an active, valid one never does.
      // What a failed lvcreate left (a plain LV, a device with no table) may need it too.
      if (snap.isSnapshot() && snap.active() && !snap.snapshotInvalid) throw;
      runOrThrow({"lvremove", "--yes", "--force", snap.id()}, false);
    }
  } catch (const ZrException& e) {
    std::string message = e.getMessage();
    if (LvmErrors::SaysInUse(message)) message += "; held by " + holdersOfDevice(snap);
    checkSuspended(snap.vg, message);
    throw ZrException(message);
  }
  DmState::Signature after = DmState::Read(m_config.sysBlock, m_config.backupDir);
  noteOwnChange(before, after, TouchedBy(snap.vg, snap.name, snap.origin), [&](std::vector<LvRow>& rows) {
    for (auto it = rows.begin(); it != rows.end(); ++it) {
      if (it->id() == snap.id()) {
        rows.erase(it);
        break;
      }
    }
    // The space comes back to the volume group; a thin snapshot took none of it.
    for (auto& r : rows) {
      if (r.vg == snap.vg && snap.isThickSnapshot()) r.vgFree += snap.size;
    }
  });
}

void LvmEngine::deleteSnap(const Snap& s) {
  LvRow snap = row(s.id);
  if (!snap.isSnapshot() || !isManagerSnapshotName(snap.name)) {
    throw ZrException("Refusing to delete " + snap.id() + ": it is not a snapshot that the snapshot manager created",
                      EPERM);
  }
  std::string why = damage(s);
  if (!why.empty()) {
    snap.snapshotInvalid = snap.snapshotInvalid || snap.isThickSnapshot();
    EvDebug().Error(kFunction, "Removing %s: %s, so a backup read from it is incomplete", snap.id().c_str(),
                    why.c_str());
  }
  removeSnapshot(snap);
}

UnmountResult LvmEngine::unMount(const std::string& dir, std::string& why) {
  // The kernel lists the resolved path; the record holds the one the manager was given.
  const std::string target = FXPath::Resolve(dir);
  const zr::MountRecord* top = nullptr;
  std::vector<zr::MountRecord> table = m_mounts->table();
  for (auto& m : table) {
    if (m.target == target) top = &m;  // the last one is mounted on top
  }
  if (!top) {
    why = dir + " is not a mount point";
    return UnmountResult::NotOurs;
  }
  const LvRow* owner = nullptr;
  std::vector<LvRow> all = rows();
  for (auto& r : all) {
    if (r.active() && r.device() == MountedDevice(*top)) owner = &r;
  }
  if (!owner || !owner->isSnapshot() || !isManagerSnapshotName(owner->name)) {
    why = dir + " holds " + top->source + ", which is not an LVM snapshot that the snapshot manager created";
    return UnmountResult::NotOurs;
  }
  // Whatever holds it may let go in a moment (a backup's last reader ending);
  // a lazy unmount would only hide the snapshot while it stays in use.
  for (unsigned attempt = 1;; ++attempt) {
    try {
      m_mounts->umount(dir);
      return UnmountResult::Unmounted;
    } catch (const ZrException& e) {
      if (e.getErrno() != EBUSY || attempt >= m_config.busyTries) {
        why = e.formatError();
        if (e.getErrno() == EBUSY) {
          why += "; tried " + std::to_string(attempt) + " times; held by " + holdersOfMount(dir);
        }
        return UnmountResult::Failed;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(m_config.busyPauseMs));
  }
}

std::string LvmEngine::holdersOfMount(const std::string& dir) {
  std::string text = zr::ProcessesHolding(dir, m_config.proc).describe();
  const std::string target = FXPath::Resolve(dir);
  for (auto& m : m_mounts->table()) {
    if (m.target.size() > target.size() && m.target.compare(0, target.size() + 1, target + "/") == 0) {
      text += "; " + m.source + " is mounted inside it, on " + m.target;
    }
  }
  return text;
}

std::string LvmEngine::holdersOfDevice(const LvRow& snap) {
  zr::Holders holders = zr::ProcessesUsingDevice(snap.device(), m_config.proc);
  holders.devices = zr::DeviceHolders(snap.device(), m_config.sysBlock);
  std::string text = holders.describe();
  for (auto& m : m_mounts->table()) {
    if (MountedDevice(m) == snap.device()) text += "; mounted on " + m.target;
  }
  return text;
}

std::vector<MountEntry> LvmEngine::mountTable() {
  std::vector<MountEntry> out;
  for (auto& m : m_mounts->table()) out.push_back(MountEntry{m.source, m.target, m.fstype, m.root});
  return out;
}

uint64_t LvmEngine::mountTableGeneration() { return m_mounts->generation(); }
}  // namespace FlrSnapOS
