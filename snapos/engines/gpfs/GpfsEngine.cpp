#include "engines/gpfs/GpfsEngine.h"

#include <cerrno>
#include <sstream>

#include "zr/FXPath.h"
#include "zr/ZRPlatformInfo.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
namespace {
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 6027-2683 (fileset) and 6027-2684 (global): the snapshot is not there.
bool SaysNotFound(const std::string& err) {
  return Contains(err, "6027-2683") || Contains(err, "6027-2684") || Contains(err, "does not contain");
}

std::string BareName(const std::string& device) { return device.rfind("/dev/", 0) == 0 ? device.substr(5) : device; }
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

std::string GpfsEngine::ParseSnapDir(const std::string& output, bool fileset) {
  // Snapshot directory for "gpfs0" is ".snapshots" (root directory only)
  // Fileset snapshot directory for "gpfs0" is ".snapshots" (root directory only)
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(fileset ? "Fileset snapshot directory" : "Snapshot directory", 0) != 0) continue;
    size_t is = line.find(" is \""), start = is + 5;
    size_t end = is == std::string::npos ? is : line.find('"', start);
    if (end != std::string::npos && end > start) return line.substr(start, end - start);
  }
  return ".snapshots";
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

std::vector<GpfsEngine::Fileset> GpfsEngine::independentFilesets(const FileSystem& fs) {
  std::vector<Fileset> out;
  for (auto& row : GpfsY::Parse(runOrThrow({"mmlsfileset", fs.name, "-L", "-Y"}), "mmlsfileset")) {
    std::string name = GpfsY::Get(row, "filesetName"), path = GpfsY::Get(row, "path");
    // Only an independent fileset (its own inode space) can have a fileset snapshot; the
    // root fileset is the file system itself; an unlinked one has no path.
    if (name == "root" || GpfsY::Get(row, "status") != "Linked" || GpfsY::Get(row, "isInodeSpaceOwner") != "1" ||
        path.empty() || path[0] != '/') {
      continue;
    }
    out.push_back(Fileset{name, path});
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

std::list<SP<LV>> GpfsEngine::listVolumes(FLR_SNAP_ENG) {
  std::list<SP<LV>> out;
  std::map<std::string, FileSystem> byId;
  std::map<std::string, Fileset> filesets;
  for (auto& fs : fileSystems()) {
    SP<LV> lv(new LV(shared_from_this(), fs.device, fs.name));
    byId[fs.name] = fs;
    for (auto& set : independentFilesets(fs)) {
      std::string id = fs.name + "@" + set.name;
      SP<LV> child(new LV(shared_from_this(), id, id));
      child->mountPath = set.path;
      lv->childLVs.push_back(child);
      byId[id] = fs;
      filesets[id] = set;
    }
    for (auto& row : snapshots(fs.name)) {
      std::string name = GpfsY::Get(row, "directory"), fileset = GpfsY::Get(row, "fileset");
      std::string special = SnapshotSpecial(fs.device, fileset, name);
      lv->snaps.push_back(SP<Snap>(new Snap(shared_from_this(), special, name, special)));
    }
    out.push_back(lv);
  }
  std::lock_guard<std::mutex> hold(m_lock);
  m_byId = byId;
  m_filesets = filesets;
  return out;
}

std::string GpfsEngine::snapDir(const std::string& fsName, bool fileset) {
  std::string output;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_snapDirs.find(fsName);
    if (it != m_snapDirs.end()) output = it->second;
  }
  if (output.empty()) {
    output = runOrThrow({"mmsnapdir", fsName, "-q"});
    std::lock_guard<std::mutex> hold(m_lock);
    m_snapDirs[fsName] = output;
  }
  return ParseSnapDir(output, fileset);
}

void GpfsEngine::lookup(const std::string& id, FileSystem& fs, Fileset& set) {
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_byId.find(id);
  if (it == m_byId.end()) throw ZrException("No GPFS file system or fileset is known as " + id, ENOENT);
  fs = it->second;
  auto f = m_filesets.find(id);
  if (f != m_filesets.end()) set = f->second;
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
  std::vector<std::string> args{"mmcrsnapshot", fs.name, name};
  if (!set.name.empty()) args.insert(args.end(), {"-j", set.name});
  const bool ofFileset = !set.name.empty();
  std::string where = (ofFileset ? set.path : fs.mountPoint) + "/" + snapDir(fs.name, ofFileset) + "/" + name;
  runOrThrow(args);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_generation;
  }
  mountDir = where;  // the content is there already: see the class comment
  std::string special = SnapshotSpecial(fs.device, set.name, name);
  return SP<Snap>(new Snap(shared_from_this(), special, name, special));
}

bool GpfsEngine::isMounted(const Snap&) { return false; }

void GpfsEngine::deleteOnce(const std::string& fsName, const std::string& fileset, const std::string& name,
                            bool& gone) {
  std::vector<std::string> args{"mmdelsnapshot", fsName, name};
  if (!fileset.empty()) args.insert(args.end(), {"-j", fileset});
  zr::CommandResult r = run(args);
  gone = r.ok() || SaysNotFound(r.err + r.out);
  if (!gone) throw ZrException(r.describeFailure(args));
}

void GpfsEngine::deleteSnap(const Snap& snap) {
  // The identity text is fs@name or fs@fileset@name.
  std::vector<std::string> parts;
  size_t at = 0, next;
  while ((next = snap.id.find('@', at)) != std::string::npos) {
    parts.push_back(snap.id.substr(at, next - at));
    at = next + 1;
  }
  parts.push_back(snap.id.substr(at));
  if (parts.size() < 2 || parts.size() > 3) throw ZrException("Not a GPFS snapshot identity: " + snap.id, EINVAL);
  const std::string fs = parts[0], fileset = parts.size() == 3 ? parts[1] : "", name = parts.back();
  if (!isManagerSnapshotName(name)) {
    throw ZrException(
        "Refusing to delete GPFS snapshot " + name + " of " + fs + ": the snapshot manager did not create it", EPERM);
  }
  bool gone = false;
  try {
    deleteOnce(fs, fileset, name, gone);
  } catch (const ZrException&) {
    // An interrupted delete leaves the snapshot DeleteRequired; deleting again finishes it.
    bool required = false;
    for (auto& row : snapshots(fs)) {
      required |= GpfsY::Get(row, "directory") == name && GpfsY::Get(row, "fileset") == fileset &&
                  GpfsY::Get(row, "status") == "DeleteRequired";
    }
    if (!required) throw;
    deleteOnce(fs, fileset, name, gone);
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
