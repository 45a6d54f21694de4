// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Options.h"

#include <cstdlib>
#include <filesystem>

#include "zr/FXPath.h"

namespace fs = std::filesystem;

namespace {
const char kCommon[] =
    "  --kind native|gpfs     which manager to load (default native)\n"
    "  --state-dir DIR        default folder of the record, map and mount root\n"
    "                         (default $ZRSNAP_STATE_DIR, else /var/lib/zrsnap)\n"
    "  --record FILE          snap record file (default STATE/snap.info)\n"
    "  --map FILE             snap map file (default STATE/snap.map)\n"
    "  --mount-root DIR       where snapshots are mounted (default STATE/mnt)\n"
    "  --engine NAME          snapshot engine: lvm, sim, gpfs (default: configuration)\n"
    "  --sim-dir DIR          state folder of the simulated engine (implies --engine sim)\n"
    "  --plugin FILE          plug-in to load (default $ZRSNAP_PLUGIN, else the built one)\n"
    "  -v, -q                 more detail in the log; or nothing on stderr unless the command fails,\n"
    "                         and then all it held back\n"
    "  --log FILE             log to FILE instead of stderr (zrsnap's own messages go to both)\n"
    "Configuration: $ZRSNAP_CONFIG, else /etc/zrsnap/agent.ini.\n";

const char kExitStatuses[] =
    "Exit status: 0 success; 1 the job, the backup command or the teardown failed;\n"
    "2 usage or configuration error; 128+N when signal N ended zrsnap or the backup command.\n";

// Installed, the plug-in is in the private library folder (../lib/zrsnap from
// sbin/, or ../lib/<multiarch>/zrsnap); in a build tree, where it was built.
std::string DefaultPlugin() {
  std::error_code ec;
  fs::path installed = fs::read_symlink("/proc/self/exe", ec).parent_path() / ZRSNAP_INSTALLED_PLUGIN;
  return !ec && fs::exists(installed, ec) ? installed.lexically_normal().string() : ZRSNAP_DEFAULT_PLUGIN;
}

std::string Value(int& i, int argc, char** argv) {
  if (i + 1 >= argc) throw UsageError(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

// Relative paths only: an absolute one stays exactly as given.
std::string Absolute(const std::string& path) {
  return path.empty() || path[0] == '/' ? path : FXPath::Normalize(fs::absolute(path).string());
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Without --exec the snapshots stay and nothing reads them live, so the flag means nothing there.
const char kRun[] =
    "usage: zrsnap run [options] PATH...\n"
    "Snapshots every volume that holds PATH. Without --exec the snapshots stay\n"
    "mounted for a later `zrsnap cleanup`; with --exec CMD, CMD runs while they\n"
    "exist (ZRSNAP_MAP_JSON, ZRSNAP_SOURCE_n and ZRSNAP_SNAPSHOT_n tell it where)\n"
    "and they are removed afterwards. SIGINT, SIGTERM and SIGHUP reach CMD's\n"
    "process group; the snapshots are then removed as usual.\n"
    "  --exec CMD             backup command, run with /bin/sh -c in a process group of its own\n"
    "  --allow-live           with --exec: run CMD even when a PATH got no snapshot;\n"
    "                         such paths are read live (ZRSNAP_LIVE_n, ZRSNAP_LIVE_COUNT)\n"
    "  --json                 print the source-to-snapshot map as JSON\n"
    "  --dc                   freeze volumes through the data-classification library\n";
}  // namespace

std::string UsageFor(const std::string& command) {
  if (command == "run") return std::string(kRun) + kCommon + kExitStatuses;
  if (command == "cleanup") {
    return std::string(
               "usage: zrsnap cleanup [options]\n"
               "Removes every snapshot the record file names, as the next job's start would,\n"
               "and says what was removed and what remains.\n") +
           kCommon + kExitStatuses;
  }
  if (command == "status") {
    return std::string(
               "usage: zrsnap status [--json] [options]\n"
               "Lists what the record file names and whether each snapshot exists and where it\n"
               "is mounted, the job that holds the record file, and the snapshots with a manager's\n"
               "prefix that the record file does not name (shown, never removed: another record\n"
               "file may own them).\n"
               "  --json                 the same as one JSON object, for scripts\n") +
           kCommon +
           "Exit status: 0 the record file names nothing; 1 it names snapshots (or lines that\n"
           "cleanup would drop); 2 status could not find out (usage, configuration or other error).\n";
  }
  if (command == "sim") {
    return std::string(
               "usage: zrsnap sim add NAME DIR | sim remove NAME | sim list   [--sim-dir DIR]\n"
               "Registers, unregisters or lists the volumes of the simulated engine: a volume\n"
               "is a directory DIR known by a bare NAME. The folder is --sim-dir, else\n"
               "[SimEngine] sStateDir of the configuration, else /var/lib/zrsnap/sim.\n") +
           kExitStatuses;
  }
  if (command == "demo") {
    return "usage: zrsnap demo [--plugin FILE] [-v|-q]\n"
           "Shows a whole job on the simulated engine in a temporary folder, then removes it.\n";
  }
  return std::string(
             "usage: zrsnap COMMAND [options]\n"
             "  run PATH...   snapshot the volumes of PATH (see zrsnap help run)\n"
             "  cleanup       remove what a record file names (crash recovery)\n"
             "  status        show what a record file names\n"
             "  sim           add, remove or list volumes of the simulated engine\n"
             "  demo          a whole job on the simulated engine, no root needed\n"
             "  help COMMAND  what COMMAND does and its options\n"
             "  --version     the build's version line\n") +
         kExitStatuses;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  int i = 1;
  if (i < argc && argv[i][0] != '-') o.command = argv[i++];
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (!a.empty() && a[0] == '-' && a != "--") o.given.insert(a == "-h" ? "--help" : a);
    if (a == "-h" || a == "--help")
      o.help = true;
    else if (a == "--version")
      o.version = true;
    else if (a == "--kind")
      o.kind = Value(i, argc, argv);
    else if (a == "--state-dir")
      o.stateDir = Value(i, argc, argv);
    else if (a == "--record")
      o.record = Value(i, argc, argv);
    else if (a == "--map")
      o.map = Value(i, argc, argv);
    else if (a == "--mount-root")
      o.mountRoot = Value(i, argc, argv);
    else if (a == "--engine")
      o.engine = Value(i, argc, argv);
    else if (a == "--sim-dir")
      o.simDir = Value(i, argc, argv);
    else if (a == "--plugin")
      o.plugin = Value(i, argc, argv);
    else if (a == "--log")
      o.logFile = Value(i, argc, argv);
    else if (a == "--exec")
      o.exec = Value(i, argc, argv);
    else if (a == "--json")
      o.json = true;
    else if (a == "--dc")
      o.dc = true;
    else if (a == "--allow-live")
      o.allowLive = true;
    else if (a == "-v")
      o.logLevel = 3;
    else if (a == "-q")
      o.quiet = true;
    else if (a == "--") {
      for (++i; i < argc; ++i) o.paths.push_back(argv[i]);
    } else if (!a.empty() && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      o.paths.push_back(a);
    }
  }
  if (o.kind != "native" && o.kind != "gpfs") throw UsageError("--kind must be native or gpfs");
  if (!o.simDir.empty() && o.engine.empty()) o.engine = "sim";
  if (!o.simDir.empty() && o.engine != "sim") throw UsageError("--sim-dir belongs to --engine sim, not " + o.engine);
  return o;
}

void ApplyDefaults(Options& o) {
  if (o.stateDir.empty()) o.stateDir = Env("ZRSNAP_STATE_DIR");
  if (o.stateDir.empty()) o.stateDir = "/var/lib/zrsnap";
  o.stateDir = Absolute(o.stateDir);
  if (o.record.empty()) o.record = o.stateDir + "/snap.info";
  if (o.map.empty()) o.map = o.stateDir + "/snap.map";
  if (o.mountRoot.empty()) o.mountRoot = o.stateDir + "/mnt";
  for (std::string* path : {&o.record, &o.map, &o.mountRoot, &o.simDir, &o.logFile}) *path = Absolute(*path);
  if (o.command == "run") {
    for (auto& p : o.paths) p = Absolute(p);
  }
  if (o.plugin.empty()) o.plugin = Env("ZRSNAP_PLUGIN");
  o.pluginGiven = !o.plugin.empty();
  o.plugin = o.pluginGiven ? Absolute(o.plugin) : DefaultPlugin();
}
