// zrsnap: reference host of the snapshot manager plug-in.
#include <boost/make_shared.hpp>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "FlrSnapOSEngine.h"
#include "engines/sim/SimEngine.h"
#include "zr/LogWriter.h"
#include "zr/ZrException.h"
#include "zrsnap/Commands.h"

void SelectEngine(const Options& o) {
  if (!o.simDir.empty()) {
    auto sim = std::make_shared<FlrSnapOS::SimEngine>(o.simDir);
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, sim);
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, sim);
  } else if (!o.engine.empty()) {
    auto e = FlrSnapOS::makeEngine(o.engine);
    // The native slot also answers for the mount table, so an engine that
    // brings its own (simulated volumes, a configured GPFS mount table) takes both.
    if (o.kind == "native" || o.engine == "sim" || o.engine == "gpfs")
      FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, e);
    if (o.kind == "gpfs") FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, e);
  }
}

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps our lines in order with the log's on a terminal or pipe
  try {
    Options o = ParseOptions(argc, argv);
    if (o.help || o.command.empty()) {
      std::fputs(UsageFor(o.command).c_str(), o.help ? stdout : stderr);
      return o.help ? 0 : 2;
    }
    ApplyDefaults(o);
    if (o.logFile.empty()) {
      g_ptrLogWriter = boost::make_shared<CStreamLogWriter>(o.logLevel);
    } else {
      g_ptrLogWriter = boost::make_shared<CStreamLogWriter>(o.logLevel, o.logFile);
    }
    if (o.command == "demo") return RunDemo(o);
    SelectEngine(o);
    if (o.command == "run") return RunJob(o);
    if (o.command == "cleanup") return CleanupRecord(o);
    if (o.command == "status") return ShowStatus(o);
    throw std::invalid_argument("unknown command " + o.command + " (try zrsnap --help)");
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "zrsnap: %s\n", e.what());
    return 2;
  } catch (const ZrException& e) {
    std::fprintf(stderr, "zrsnap: %s\n", e.formatError().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zrsnap: %s\n", e.what());
    return 1;
  }
}
