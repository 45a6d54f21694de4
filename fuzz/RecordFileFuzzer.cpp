// SPDX-License-Identifier: Apache-2.0
// The record file as the next job's start reads it: Initialize removes what it
// names on the test engine, and UnMountSnap tears down again.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "KestrelNativeSnapManager.h"
#include "TestEngine.h"
#include "zr/ZrException.h"

namespace {
struct Paths {
  std::string dir, record, map, mountRoot;
};

const Paths& Setup() {
  static Paths p = [] {
    Paths made;
    made.dir = fuzz::Folder("record-file");
    made.record = made.dir + "/snap.info";
    made.map = made.dir + "/snap.map";
    made.mountRoot = made.dir + "/mnt";
    fuzz::WriteInput(made.dir + "/agent.ini", nullptr, 0);
    ::setenv("ZRSNAP_CONFIG", (made.dir + "/agent.ini").c_str(), 1);
    fuzz::InstallLogWriter();
    return made;
  }();
  return p;
}

// Two volumes, a mounted and an unmounted snapshot: seeds name these.
std::shared_ptr<FlrSnapOS::TestEngine> MakeEngine(const Paths& p) {
  auto engine = std::make_shared<FlrSnapOS::TestEngine>();
  engine->addVolume("vg-a", p.dir + "/vol/a");
  engine->addVolume("vg-b", p.dir + "/vol/b");
  engine->addSnapshot("vg-a", "zrks_1", "testsnap-zrks_1", p.mountRoot + "/zrks_1");
  engine->addSnapshot("vg-b", "zrks_2", "testsnap-zrks_2", "");
  return engine;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Paths& p = Setup();
  auto engine = MakeEngine(p);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, engine);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, engine);
  fuzz::WriteInput(p.record, data, size);
  std::unique_ptr<CKestrelNativeSnapManager> manager(GetNativeSnapManager("native"));
  try {
    manager->Initialize(false, p.record, p.map, p.mountRoot);
    manager->UnMountSnap();
  } catch (const ZrException&) {
    // The interface lets these through when the engine cannot answer.
  }
  manager.reset();
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, nullptr);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, nullptr);
  return 0;
}
