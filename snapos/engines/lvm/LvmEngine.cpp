// SPDX-License-Identifier: Apache-2.0
#include "engines/lvm/LvmEngine.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "engines/lvm/BtrfsRule.h"
#include "engines/lvm/DmStatus.h"
#include "zr/EvDebug.h"
#include "zr/FXPath.h"
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

bool OlderThanJsonReport(const std::string& version) {
  int a = 0, b = 0, c = 0;
  if (std::sscanf(version.c_str(), "%d.%d.%d", &a, &b, &c) != 3) return false;
  return std::make_tuple(a, b, c) < std::make_tuple(2, 2, 158);
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
  if (!m_config.root) {
    return "lvm needs root, and this process runs as user " + std::to_string(::geteuid()) + ": " +
           r.describeFailure({m_config.lvm, args.front()});
  }
  std::vector<std::string> argv{m_config.lvm};
  argv.insert(argv.end(), args.begin(), args.end());
  return r.describeFailure(argv);
}

std::string LvmEngine::runOrThrow(const std::vector<std::string>& args, bool killable) {
  zr::CommandResult r = run(args, killable);
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

std::string LvmEngine::reportFailure(const std::vector<std::string>& args, const zr::CommandResult& r) {
  std::string message = failure(args, r);
  if (!m_config.root || r.timedOut) return message;
  zr::CommandResult v = run({"version"}, true);
  std::string version = VersionIn(v.out);
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

std::list<SP<LV>> LvmEngine::listVolumes(FLR_SNAP_ENG) {
  std::vector<LvRow> all = rows();
  std::list<SP<LV>> out;
  for (auto& r : all) {
    if (!r.canBeSnapshotted()) continue;
    SP<LV> lv(new LV(shared_from_this(), r.dmPath, r.id()));
    UseKernelNumbers(lv->rdev, r);
    for (auto& s : all) {
      if (s.isSnapshot() && s.vg == r.vg && s.origin == r.name) {
        SP<Snap> snap(new Snap(shared_from_this(), s.dmPath, s.name, s.id()));
        UseKernelNumbers(snap->rdev, s);
        lv->snaps.push_back(snap);
      }
    }
    out.push_back(lv);
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

uint64_t LvmEngine::checkFreeSpace(const LvRow& origin, uint32_t cowSizeMB) {
  // lvcreate caps a copy-on-write area larger than its origin; rounds up to whole extents.
  uint64_t want = std::min<uint64_t>(uint64_t{cowSizeMB} * kMiB, origin.size);
  uint64_t extent = origin.vgExtentSize ? origin.vgExtentSize : 4 * kMiB;
  want = (want + extent - 1) / extent * extent;
  if (origin.vgFree >= want) return want;
  throw ZrException("Cannot snapshot " + origin.id() + ": volume group " + origin.vg + " has " +
                        std::to_string(origin.vgFree / kMiB) + " MiB free, the snapshot needs " +
                        std::to_string(want / kMiB) + " MiB (nSnapCowSizeMB is " + std::to_string(cowSizeMB) + ")",
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

void LvmEngine::removeLeftover(const LvRow& origin, const std::string& name, std::string& message) {
  forgetReport();
  try {
    for (auto& r : rows()) {
      if (r.vg == origin.vg && r.name == name && r.isSnapshot() && r.origin == origin.name) {
        removeSnapshot(r);
        message += "; the snapshot " + r.id() + " it made was removed again";
        return;
      }
    }
  } catch (const ZrException& e) {
    message += "; the snapshot " + origin.vg + "/" + name + " may be left: " + e.formatError();
  }
}

void LvmEngine::runCreate(const LvRow& origin, const std::string& name, const std::vector<std::string>& args) {
  try {
    runOrThrow(args, false);
  } catch (const ZrException& e) {
    std::string message = e.getMessage();
    checkSuspended(origin.vg, message);
    removeLeftover(origin, name, message);
    throw ZrException(message);
  }
}

SP<Snap> LvmEngine::createSnap(const LV& lv, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) {
  LvRow origin = row(lv.id);
  refuseBtrfs(origin);
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
    args.insert(args.end(), {"--size", std::to_string(cowSizeMB) + "m"});
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

void LvmEngine::removeSnapshot(const LvRow& snap) {
  DmState::Signature before = DmState::Read(m_config.sysBlock, m_config.backupDir);
  try {
    try {
      runOrThrow({"lvremove", "--yes", snap.id()}, false);
    } catch (const ZrException&) {
      // An inactive or invalid snapshot may need force; an active, valid one never does.
      if (snap.active() && !snap.snapshotInvalid) throw;
      runOrThrow({"lvremove", "--yes", "--force", snap.id()}, false);
    }
  } catch (const ZrException& e) {
    std::string message = e.getMessage();
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
  try {
    m_mounts->umount(dir);
  } catch (const ZrException& e) {
    why = e.formatError();
    return UnmountResult::Failed;
  }
  return UnmountResult::Unmounted;
}

std::vector<MountEntry> LvmEngine::mountTable() {
  std::vector<MountEntry> out;
  for (auto& m : m_mounts->table()) out.push_back(MountEntry{m.source, m.target, m.fstype, m.root});
  return out;
}

uint64_t LvmEngine::mountTableGeneration() { return m_mounts->generation(); }
}  // namespace FlrSnapOS
