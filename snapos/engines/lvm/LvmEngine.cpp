#include "engines/lvm/LvmEngine.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "zr/EvDebug.h"
#include "zr/FXPath.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
const uint64_t kMiB = 1024 * 1024;

std::set<std::string> TouchedBy(const std::string& vg, const std::string& snap, const std::string& origin) {
  return {"dm:" + LvmReport::DmName(vg, snap), "dm:" + LvmReport::DmName(vg, snap) + "-cow",
          "dm:" + LvmReport::DmName(vg, origin) + "-real", "backup:" + vg};
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

std::string LvmEngine::runLvm(const std::vector<std::string>& args) {
  std::vector<std::string> argv{m_config.lvm};
  argv.insert(argv.end(), args.begin(), args.end());
  zr::CommandOptions options;
  options.timeoutSeconds = m_config.timeoutSeconds;
  options.environment = {{"LVM_SUPPRESS_FD_WARNINGS", "1"}};
  // Where the administrator keeps lvm.conf, and udev-less systems (lvm(8) ENVIRONMENT).
  options.inherit = {"LVM_SYSTEM_DIR", "DM_DISABLE_UDEV"};
  // lvcreate and lvremove suspend the origin while they load the snapshot: never kill them half-way.
  options.killOnTimeout = args[0] != "lvcreate" && args[0] != "lvremove";
  {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_runs;
  }
  zr::CommandResult r = zr::RunCommand(argv, options);
  if (!r.ok()) throw ZrException(r.describeFailure(argv));
  return r.out;
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
  std::vector<LvRow> fresh = LvmReport::Parse(
      runLvm({"lvs", "--reportformat", "json", "--units", "b", "--nosuffix", "-o", LvmReport::kFields}));
  std::lock_guard<std::mutex> hold(m_lock);
  m_rows = fresh;
  m_signature = now;
  m_valid = true;
  return fresh;
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
    for (auto& s : all) {
      if (s.isSnapshot() && s.vg == r.vg && s.origin == r.name) {
        lv->snaps.push_back(SP<Snap>(new Snap(shared_from_this(), s.dmPath, s.name, s.id())));
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
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_valid = false;
    }
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

LvRow LvmEngine::created(const LvRow& origin, const std::string& name, uint64_t allocated) {
  LvRow r;
  r.size = allocated;  // a thick snapshot's size is its copy-on-write space
  r.name = name;
  r.vg = origin.vg;
  r.origin = origin.name;
  r.dmPath = "/dev/mapper/" + LvmReport::DmName(origin.vg, name);
  r.attr = origin.isThin() ? "Vwi-a-tz--" : "swi-a-s---";
  struct stat st {};
  if (::stat(r.dmPath.c_str(), &st) == 0) {
    r.kernelMajor = static_cast<int>(major(st.st_rdev));
    r.kernelMinor = static_cast<int>(minor(st.st_rdev));
  }
  return r;
}

void LvmEngine::noteOwnChange(const DmState::Signature& before, const std::set<std::string>& keys,
                              const std::function<void(std::vector<LvRow>&)>& apply) {
  DmState::Signature after = DmState::Read(m_config.sysBlock, m_config.backupDir);
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_valid && before == m_signature && DmState::OnlyTouches(before, after, keys)) {
    apply(m_rows);
    m_signature = after;
  } else {
    m_valid = false;
  }
}

// device-mapper names an LV "<vg>-<lv>" with every "-" inside either name doubled.
std::string LvmEngine::snapshotSpecial(const LV& origin, const std::string& name) {
  auto doubleDashes = [](const std::string& s) {
    std::string out;
    for (char c : s) out += c == '-' ? std::string("--") : std::string(1, c);
    return out;
  };
  const std::string vg = origin.id.substr(0, origin.id.find('/'));
  return "/dev/mapper/" + doubleDashes(vg) + "-" + doubleDashes(name);
}

SP<Snap> LvmEngine::createSnap(const LV& lv, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) {
  LvRow origin = row(lv.id);
  DmState::Signature before = DmState::Read(m_config.sysBlock, m_config.backupDir);
  std::vector<std::string> args{"lvcreate", "--yes", "--snapshot", "--name", name};
  uint64_t allocated = 0;
  if (origin.isThin()) {
    // Thin snapshots skip activation by default; ours must come up after a reboot too,
    // or the next start could not find and remove them.
    args.insert(args.end(), {"--setactivationskip", "n", "--activate", "y"});
  } else {
    allocated = enoughSpace(origin, cowSizeMB);
    args.insert(args.end(), {"--size", std::to_string(cowSizeMB) + "m"});
  }
  args.push_back(origin.id());
  runLvm(args);
  LvRow snap = created(origin, name, allocated);
  noteOwnChange(before, TouchedBy(origin.vg, name, origin.name), [&](std::vector<LvRow>& rows) {
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
  return SP<Snap>(new Snap(shared_from_this(), snap.dmPath, name, snap.id()));
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
    if (m.devno == snap.rdev.devNumber) return true;
  }
  return false;
}

void LvmEngine::removeSnapshot(const LvRow& snap) {
  DmState::Signature before = DmState::Read(m_config.sysBlock, m_config.backupDir);
  try {
    runLvm({"lvremove", "--yes", snap.id()});
  } catch (const ZrException&) {
    // An inactive or invalid snapshot may need force; an active, valid one never does.
    if (snap.active() && !snap.snapshotInvalid) throw;
    runLvm({"lvremove", "--yes", "--force", snap.id()});
  }
  noteOwnChange(before, TouchedBy(snap.vg, snap.name, snap.origin), [&](std::vector<LvRow>& rows) {
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
  if (snap.isThickSnapshot() &&
      (snap.snapshotInvalid || DmState::SnapshotInvalid(LvmReport::DmName(snap.vg, snap.name)))) {
    snap.snapshotInvalid = true;
    EvDebug().Error("FlrSnapOS::LvmEngine::deleteSnap",
                    "Snapshot %s overflowed: its copy-on-write space filled up, so a backup read from it is incomplete",
                    snap.id().c_str());
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
    if (r.active() && r.device() == top->devno) owner = &r;
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
