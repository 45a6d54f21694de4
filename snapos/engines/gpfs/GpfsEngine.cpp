// SPDX-License-Identifier: Apache-2.0
#include "engines/gpfs/GpfsEngine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "zr/EvDebug.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 6027-2683 (fileset) and 6027-2684 (global): the snapshot is not there.
bool SaysNotFound(const std::string& err) {
  return Contains(err, "6027-2683") || Contains(err, "6027-2684") || Contains(err, "does not contain");
}

// mmcrsnapshot refused the name because a snapshot of that name exists.
bool SaysNameTaken(const std::string& err) { return Contains(err, "6027-2601") || Contains(err, "already exists"); }

std::string BareName(const std::string& device) { return device.rfind("/dev/", 0) == 0 ? device.substr(5) : device; }

std::string Subject(const std::string& fsName, const std::string& fileset) {
  return fileset.empty() ? "file system " + fsName : "fileset " + fileset + " of " + fsName;
}
}  // namespace

GpfsEngine::GpfsEngine(Config config) : m_config(std::move(config)) {}

std::shared_ptr<GpfsEngine> GpfsEngine::FromConfig(const ZRPlatformInfo& info) {
  Config c;
  info.getString("GPFS", "sCommandDir", &c.commandDir);
  info.getString("GPFS", "sMountInfo", &c.mountInfo);
  unsigned long timeout = c.timeoutSeconds;
  if (info.getNumber("GPFS", "nTimeoutSeconds", &timeout)) c.timeoutSeconds = static_cast<unsigned>(timeout);
  return std::make_shared<GpfsEngine>(c);
}

std::string GpfsEngine::SnapshotSpecial(const std::string& device, const std::string& fileset,
                                        const std::string& name) {
  return BareName(device) + "@" + (fileset.empty() ? "" : fileset + "@") + name;
}

zr::CommandResult GpfsEngine::run(const std::vector<std::string>& args) {
  std::vector<std::string> argv = args;
  argv[0] = m_config.commandDir + "/" + args[0];
  zr::CommandOptions options;
  options.timeoutSeconds = m_config.timeoutSeconds;
  // Making or deleting a snapshot changes the file system: never kill that half-way.
  options.killOnTimeout = args[0] != "mmcrsnapshot" && args[0] != "mmdelsnapshot";
  return zr::RunCommand(argv, options);
}

std::string GpfsEngine::runOrThrow(const std::vector<std::string>& args) {
  zr::CommandResult r = run(args);
  if (!r.ok()) throw ZrException(r.describeFailure(args));
  return r.out;
}

std::vector<GpfsEngine::FileSystem> GpfsEngine::fileSystems() {
  std::vector<FileSystem> out;
  for (auto& m : zr::ReadMountInfo(m_config.mountInfo)) {
    // A bind mount of a GPFS path shows the same type and source: only the root is the file system.
    if (m.fstype == "gpfs" && m.root == "/") out.push_back(FileSystem{m.source, BareName(m.source), m.target});
  }
  return out;
}

std::vector<GpfsY::Row> GpfsEngine::snapshots(const std::string& fsName) {
  zr::CommandResult r = run({"mmlssnapshot", fsName, "-Y"});
  if (r.ok() && Contains(r.out, "No snapshots in file system")) return {};
  if (!r.ok()) {
    if (Contains(r.out + r.err, "No snapshots in file system")) return {};
    throw ZrException(r.describeFailure({"mmlssnapshot", fsName, "-Y"}));
  }
  return GpfsY::Parse(r.out, "mmlssnapshot");
}

// Both commands run before anything is added, so a failure leaves no half of a file system behind.
SP<LV> GpfsEngine::describe(const FileSystem& fs, Listing& listing) {
  auto rows = GpfsY::Parse(runOrThrow({"mmlsfileset", fs.name, "-L", "-Y"}), "mmlsfileset");
  auto filesets = GpfsFilesets::Independent(rows, fs.name, fs.mountPoint);
  auto snaps = snapshots(fs.name);

  SP<LV> lv(new LV(shared_from_this(), fs.device, fs.name));
  listing.byId[fs.name] = fs;
  for (auto& set : filesets) {
    std::string id = fs.name + "@" + set.name;
    SP<LV> child(new LV(shared_from_this(), id, id));
    child->mountPath = set.path;
    lv->childLVs.push_back(child);
    listing.byId[id] = fs;
    listing.filesets[id] = set;
  }
  for (auto& row : snaps) {
    std::string name = GpfsY::Get(row, "directory"), fileset = GpfsY::Get(row, "fileset");
    std::string special = SnapshotSpecial(fs.device, fileset, name);
    lv->snaps.push_back(SP<Snap>(new Snap(shared_from_this(), special, name, special)));
  }
  return lv;
}

std::list<SP<LV>> GpfsEngine::listVolumes(FLR_SNAP_ENG) {
  std::list<SP<LV>> out;
  Listing listing;
  std::unique_ptr<ZrException> firstFailure;
  for (auto& fs : fileSystems()) {
    try {
      out.push_back(describe(fs, listing));
    } catch (const ZrException& e) {
      EvDebug().Error("FlrSnapOS::GpfsEngine::listVolumes", "GPFS file system %s mounted on %s is left out: %s",
                      fs.name.c_str(), fs.mountPoint.c_str(), e.formatError().c_str());
      if (!firstFailure) firstFailure.reset(new ZrException(e));
    }
  }
  // With nothing listed, an empty list would read as "no snapshots exist" to crash recovery.
  if (out.empty() && firstFailure) {
    throw ZrException(std::string("No mounted GPFS file system could be listed: ") + firstFailure->getMessage(),
                      firstFailure->getErrno());
  }
  std::lock_guard<std::mutex> hold(m_lock);
  m_listing = listing;
  return out;
}

GpfsSnapDir::Names GpfsEngine::snapDirs(const std::string& fsName) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_snapDirs.find(fsName);
    if (it != m_snapDirs.end()) return it->second;
  }
  GpfsSnapDir::Names names = GpfsSnapDir::Parse(runOrThrow({"mmsnapdir", fsName, "-q"}), fsName);
  std::lock_guard<std::mutex> hold(m_lock);
  m_snapDirs[fsName] = names;
  return names;
}

void GpfsEngine::create(const std::vector<std::string>& args) {
  zr::CommandResult r = run(args);
  if (r.ok()) return;
  if (SaysNameTaken(r.err + r.out)) {
    throw ZrException("The GPFS snapshot name " + args[2] + " is taken: " + r.describeFailure(args), EEXIST);
  }
  throw ZrException(r.describeFailure(args));
}

// The directory handed out as the mount directory must be there: a plain file
// of the snapshot directory's name, or a name changed since mmsnapdir was
// asked, would give the backup nothing, or the wrong thing, to read.
void GpfsEngine::verifyReachable(const FileSystem& fs, const Fileset& set, const std::string& name,
                                 const std::string& where) {
  struct stat st {};
  int err = ::lstat(where.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (!err) return;
  std::string message = "GPFS snapshot " + name + " of " + Subject(fs.name, set.name) +
                        " was made, but its directory " + where + " cannot be read: " + std::strerror(err);
  try {
    deleteOnce(fs.name, set.name, name);
    message += "; the snapshot was deleted again";
  } catch (const ZrException& e) {
    message += "; deleting the snapshot failed too: " + e.formatError();
  }
  throw ZrException(message, err);
}

void GpfsEngine::lookup(const std::string& id, FileSystem& fs, Fileset& set) {
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_listing.byId.find(id);
  if (it == m_listing.byId.end()) throw ZrException("No GPFS file system or fileset is known as " + id, ENOENT);
  fs = it->second;
  auto f = m_listing.filesets.find(id);
  if (f != m_listing.filesets.end()) set = f->second;
}

std::string GpfsEngine::snapshotSpecial(const LV& origin, const std::string& name) {
  FileSystem fs;
  Fileset set;
  lookup(origin.id, fs, set);
  return SnapshotSpecial(fs.device, set.name, name);
}

SP<Snap> GpfsEngine::createSnap(const LV& origin, uint32_t, const std::string& name, std::string& mountDir) {
  if (name.find_first_of(":, \t\n") != std::string::npos) {
    throw ZrException("Cannot create GPFS snapshot \"" + name + "\": names hold no ':', ',' or white space", EINVAL);
  }
  FileSystem fs;
  Fileset set;
  lookup(origin.id, fs, set);
  const bool ofFileset = !set.name.empty();
  GpfsSnapDir::Names dirs = snapDirs(fs.name);
  const std::string where =
      ofFileset ? set.path + "/" + dirs.fileset + "/" + name : fs.mountPoint + "/" + dirs.global + "/" + name;
  std::vector<std::string> args{"mmcrsnapshot", fs.name, name};
  if (ofFileset) args.insert(args.end(), {"-j", set.name});
  create(args);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_generation;
  }
  verifyReachable(fs, set, name, where);
  mountDir = where;  // the content is there already: see the class comment
  std::string special = SnapshotSpecial(fs.device, set.name, name);
  return SP<Snap>(new Snap(shared_from_this(), special, name, special));
}

bool GpfsEngine::isMounted(const Snap&) { return false; }

// Returns when the snapshot is gone, including when it was gone already.
void GpfsEngine::deleteOnce(const std::string& fsName, const std::string& fileset, const std::string& name) {
  std::vector<std::string> args{"mmdelsnapshot", fsName, name};
  if (!fileset.empty()) args.insert(args.end(), {"-j", fileset});
  zr::CommandResult r = run(args);
  if (!r.ok() && !SaysNotFound(r.err + r.out)) throw ZrException(r.describeFailure(args));
}

bool GpfsEngine::SplitSpecial(const std::string& special, std::string& fs, std::string& fileset, std::string& name) {
  // fs@name or fs@fileset@name; a fileset name may itself hold "@".
  const size_t first = special.find('@'), last = special.rfind('@');
  if (first == std::string::npos || first == 0 || last + 1 == special.size()) return false;
  fs = special.substr(0, first);
  name = special.substr(last + 1);
  fileset = first == last ? "" : special.substr(first + 1, last - first - 1);
  return true;
}

std::vector<RecordedSnap> GpfsEngine::findRecorded(FLR_SNAP_ENG, const std::vector<std::string>& specials) {
  std::vector<RecordedSnap> out(specials.size());
  std::map<std::string, std::vector<GpfsY::Row>> listed;  // per file system that answered
  std::map<std::string, std::string> failed;              // per file system that did not: why
  for (size_t i = 0; i < specials.size(); ++i) {
    std::string fs, fileset, name;
    if (!SplitSpecial(specials[i], fs, fileset, name)) {
      out[i].reason = specials[i] + " does not name a GPFS snapshot";
      continue;
    }
    if (!listed.count(fs) && !failed.count(fs)) {
      try {
        listed[fs] = snapshots(fs);
      } catch (const ZrException& e) {
        failed[fs] = e.formatError();
      }
    }
    if (failed.count(fs)) {
      out[i].reason = "the snapshots of GPFS file system " + fs + " cannot be listed: " + failed[fs];
      continue;
    }
    for (auto& row : listed[fs]) {
      if (GpfsY::Get(row, "directory") != name || GpfsY::Get(row, "fileset") != fileset) continue;
      out[i].presence = Presence::Present;
      out[i].snap = SP<Snap>(new Snap(shared_from_this(), specials[i], name, specials[i]));
    }
    if (out[i].snap) continue;
    out[i].presence = Presence::Absent;
    out[i].reason = "mmlssnapshot lists no snapshot " + name + " of " + Subject(fs, fileset);
  }
  return out;
}

void GpfsEngine::deleteSnap(const Snap& snap) {
  std::string fs, fileset, name;
  if (!SplitSpecial(snap.id, fs, fileset, name)) throw ZrException("Not a GPFS snapshot identity: " + snap.id, EINVAL);
  if (!isManagerSnapshotName(name)) {
    throw ZrException(
        "Refusing to delete GPFS snapshot " + name + " of " + fs + ": the snapshot manager did not create it", EPERM);
  }
  try {
    deleteOnce(fs, fileset, name);
  } catch (const ZrException&) {
    // An interrupted delete leaves the snapshot DeleteRequired; deleting again finishes it.
    bool required = false;
    for (auto& row : snapshots(fs)) {
      required |= GpfsY::Get(row, "directory") == name && GpfsY::Get(row, "fileset") == fileset &&
                  GpfsY::Get(row, "status") == "DeleteRequired";
    }
    if (!required) throw;
    deleteOnce(fs, fileset, name);
  }
  std::lock_guard<std::mutex> hold(m_lock);
  ++m_generation;
}

UnmountResult GpfsEngine::unMount(const std::string& dir, std::string& why) {
  why = "GPFS snapshots are not mounted, so nothing on " + dir + " is one";
  return UnmountResult::NotOurs;
}

std::vector<MountEntry> GpfsEngine::mountTable() {
  std::vector<MountEntry> out;
  for (auto& m : zr::ReadMountInfo(m_config.mountInfo)) out.push_back(MountEntry{m.source, m.target, m.fstype, m.root});
  return out;
}

uint64_t GpfsEngine::mountTableGeneration() {
  // The table is small and read from a file that may not be the kernel's: read it each time.
  std::lock_guard<std::mutex> hold(m_lock);
  return ++m_generation;
}
}  // namespace FlrSnapOS
