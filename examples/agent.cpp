// SPDX-License-Identifier: Apache-2.0
// The smallest complete agent: loads the plug-in with dlopen, runs one backup
// job on the simulated engine, tears it down and unloads the plug-in.
// usage: example-agent [PLUGIN]   (default: the installed libkestrelsnap.so)
#include <dlfcn.h>

#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <map>
#include <stdexcept>
#include <string>

#include "KestrelNativeSnapManager.h"
#include "SimSetup.h"
#include "zr/LogWriter.h"
#include "zr/ZrException.h"

namespace {
// The agent's own log writer. Installed before the first call into the
// plug-in and never replaced while a job runs: it is process-wide.
class AgentLog : public CLogWriterInterface {
 public:
  void Write(int level, const char* function, int line, int, int, const char* format, ...) override {
    std::fprintf(stderr, "agent log [%d] %s:%d: ", level, function, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
  }
  int GetLevel() override { return ZR_LOG_PROGRESS; }
};

void Check(const CNeError& e, const char* step) {
  if (e.IsError()) throw std::runtime_error(std::string(step) + " failed: " + e.Message());
}

// One job: snapshot the volume of docs/, read the frozen copy while the live
// file changes, tear down. True when the snapshot held the job's moment and
// the teardown removed everything it made.
bool RunJob(CKestrelNativeSnapManager& manager, const SimSetup& sim) {
  const std::string record = sim.stateDir() + "/snap.info", mountRoot = sim.stateDir() + "/mnt";
  Check(manager.Initialize(false, record, sim.stateDir() + "/snap.map", mountRoot), "Initialize");
  std::list<std::string> contents(1, sim.volume() + "/docs");
  Check(manager.CreateAndMountSnap(contents), "CreateAndMountSnap");

  std::map<std::string, std::string> map = manager.GetSourceToLocalMap();
  if (map.count(sim.volume()) == 0) throw std::runtime_error("the map has no snapshot of " + sim.volume());
  const std::string frozen = map[sim.volume()] + "/docs/report.txt";
  std::printf("snapshot of %s at %s\n", sim.volume().c_str(), map[sim.volume()].c_str());

  WriteText(sim.volume() + "/docs/report.txt", "final\n");
  const std::string backedUp = ReadText(frozen);
  std::printf(
      "live report: %s"
      "backed-up report: %s",
      ReadText(sim.volume() + "/docs/report.txt").c_str(), backedUp.c_str());

  Check(manager.UnMountSnap(), "UnMountSnap");
  const bool clean = IsEmptyDirectory(mountRoot) && ReadText(record).empty();
  std::printf("after teardown: mount root %s, record file %s\n", IsEmptyDirectory(mountRoot) ? "empty" : "NOT empty",
              ReadText(record).empty() ? "empty" : "NOT empty");
  return backedUp == "draft 1\n" && clean;
}

// Which of the plug-in's libraries the process still maps.
void ShowLoaded() {
  std::ifstream maps("/proc/self/maps");
  std::string line, seen;
  while (std::getline(maps, line)) {
    for (const char* lib : {"libkestrelsnap.so", "libflrsnapos.so", "libzrplatform.so"}) {
      if (line.find(lib) != std::string::npos && seen.find(lib) == std::string::npos) seen += std::string(" ") + lib;
    }
  }
  std::printf("still loaded after dlclose:%s\n", seen.empty() ? " nothing of the plug-in" : seen.c_str());
}
}  // namespace

int main(int argc, char** argv) {
  const char* pluginPath = argc > 1 ? argv[1] : KESTRELSNAP_PLUGIN;
  try {
    SimSetup sim;
    // The engine is chosen once per process, by the configuration the first call reads.
    ::setenv("ZRSNAP_CONFIG", sim.config().c_str(), 1);
    g_ptrLogWriter = boost::shared_ptr<CLogWriterInterface>(new AgentLog);

    void* plugin = ::dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) throw std::runtime_error(std::string("cannot load the plug-in: ") + ::dlerror());
    typedef CKestrelNativeSnapManager* (*Factory)();
    Factory create = reinterpret_cast<Factory>(::dlsym(plugin, "GetKestrelNativeSnapManager"));
    if (!create)
      throw std::runtime_error(std::string("the plug-in has no GetKestrelNativeSnapManager: ") + ::dlerror());

    CKestrelNativeSnapManager* manager = create();  // ours to delete, through the interface
    bool ok = false;
    try {
      ok = RunJob(*manager, sim);
    } catch (const ZrException& e) {  // the snapshot OS layer could not list or check volumes
      std::fprintf(stderr, "example-agent: %s\n", e.formatError().c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "example-agent: %s\n", e.what());
    }
    delete manager;
    ::dlclose(plugin);
    ShowLoaded();
    std::printf("%s\n", ok ? "job done, nothing left behind" : "JOB FAILED");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "example-agent: %s\n", e.what());
    return 1;
  }
}
