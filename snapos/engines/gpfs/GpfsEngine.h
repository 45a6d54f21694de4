// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FlrSnapOSEngine.h"
#include "engines/gpfs/GpfsFilesets.h"
#include "engines/gpfs/GpfsSnapDir.h"
#include "engines/gpfs/GpfsY.h"
#include "zr/CommandRunner.h"
#include "zr/MountInfo.h"

class ZRPlatformInfo;

namespace FlrSnapOS {
// GPFS file systems mounted on this node and their independent filesets,
// through the GPFS administration commands (-Y output, argv only).
//
// A snapshot is not mounted: its content already appears, read-only, in the
// file system's (or fileset's) snapshot directory, so createSnap hands that
// path back as the mount directory. That needs no mount privileges, leaves no
// mount to leak, and has nothing to unmount before mmdelsnapshot (which would
// give open files ESTALE rather than refuse). Hence isMounted is always false
// and unMount never claims a directory.
//
// Snapshot names are cluster-wide: when mmcrsnapshot says the name is taken
// (another node's job chose it at the same instant), createSnap throws a
// ZrException with errno EEXIST and creates nothing, so that the caller can
// pick another name.
class ZR_API GpfsEngine : public Engine {
 public:
  struct Config {
    std::string commandDir = "/usr/lpp/mmfs/bin";    // [GPFS] sCommandDir
    unsigned timeoutSeconds = 600;                   // [GPFS] nTimeoutSeconds (snapshots quiesce the file system)
    std::string mountInfo = "/proc/self/mountinfo";  // [GPFS] sMountInfo
  };
  explicit GpfsEngine(Config config);
  static std::shared_ptr<GpfsEngine> FromConfig(const ZRPlatformInfo& config);

  std::string name() const override { return "gpfs"; }

  // A file system whose filesets or snapshots cannot be listed is left out and
  // logged at level -1, so that one bad file system does not hide the others;
  // only when every mounted one fails does the listing throw.
  std::list<SP<LV>> listVolumes(FLR_SNAP_ENG kind) override;
  // Asks mmlssnapshot of each recorded file system by name, mounted on this
  // node or not (the commands answer for any file system of the cluster).
  std::vector<RecordedSnap> findRecorded(FLR_SNAP_ENG kind, const std::vector<std::string>& specials) override;
  std::string snapshotSpecial(const LV& origin, const std::string& name) override;
  SP<Snap> createSnap(const LV& origin, uint32_t cowSizeMB, const std::string& name, std::string& mountDir) override;
  bool isMounted(const Snap& snap) override;
  void deleteSnap(const Snap& snap) override;
  UnmountResult unMount(const std::string& dir, std::string& why) override;
  std::vector<MountEntry> mountTable() override;
  uint64_t mountTableGeneration() override;

  // The identity text of a snapshot: no ":" and no leading "/", so that a
  // record line holds it and a later process rebuilds an equal identity.
  static std::string SnapshotSpecial(const std::string& device, const std::string& fileset, const std::string& name);

 private:
  struct FileSystem {
    std::string device;  // as the mount table names it: "gpfs0" or "/dev/gpfs0"
    std::string name;    // the bare name the commands take
    std::string mountPoint;
  };
  using Fileset = GpfsFilesets::Fileset;
  // What one listing learnt: record id -> its file system, and -> its fileset.
  struct Listing {
    std::map<std::string, FileSystem> byId;
    std::map<std::string, Fileset> filesets;
  };

  std::vector<FileSystem> fileSystems();
  SP<LV> describe(const FileSystem& fs, Listing& listing);
  // The file system (and fileset, if any) of a listed volume. Throws when unknown.
  void lookup(const std::string& id, FileSystem& fs, Fileset& set);
  std::vector<GpfsY::Row> snapshots(const std::string& fsName);
  GpfsSnapDir::Names snapDirs(const std::string& fsName);
  void create(const std::vector<std::string>& args);
  void verifyReachable(const FileSystem& fs, const Fileset& set, const std::string& name, const std::string& where);
  zr::CommandResult run(const std::vector<std::string>& args);
  std::string runOrThrow(const std::vector<std::string>& args);
  void deleteOnce(const std::string& fsName, const std::string& fileset, const std::string& name);
  // Splits "fs@[fileset@]name"; false for any other text.
  static bool SplitSpecial(const std::string& special, std::string& fs, std::string& fileset, std::string& name);

  Config m_config;
  std::mutex m_lock;
  std::map<std::string, GpfsSnapDir::Names> m_snapDirs;  // per file system, asked once
  Listing m_listing;                                     // from the last listVolumes
  uint64_t m_generation = 1;
};
}  // namespace FlrSnapOS
