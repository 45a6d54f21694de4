// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "engines/sim/SimEngine.h"
#include "zr/CommandRunner.h"
#include "zrsnap/Commands.h"
#include "zrsnap/Output.h"
#include "zrsnap/Plugin.h"
#include "zrsnap/RecordStatus.h"

namespace fs = std::filesystem;

namespace {
void Step(const char* text) { Print("\n== %s\n", text); }

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string Read(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void ShowFile(const std::string& label, const fs::path& file) {
  Print("-- %s (%s):\n", label.c_str(), file.c_str());
  for (auto& line : ReadLines(file.string())) Print("   %s\n", line.c_str());
  if (!fs::exists(file)) Print("   (no file)\n");
}

void Run(const std::vector<std::string>& argv) {
  zr::CommandResult r = zr::RunCommand(argv);
  if (!r.ok()) throw std::runtime_error(r.describeFailure(argv));
  if (!r.out.empty()) Print("%s", r.out.c_str());
}

// Removes the demo's folder whatever happens.
struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "zrsnap-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    path = fs::canonical(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

int Demo(const Options& o, const fs::path& top) {
  const fs::path home = top / "volumes/home", data = top / "volumes/data", state = top / "state";
  Step("Two simulated volumes with files");
  Write(home / "alice/report.txt", "quarterly report, draft 1\n");
  Write(home / "alice/notes.txt", "call bob\n");
  Write(data / "db/orders.csv", "id,item\n1,kestrel\n2,falcon\n");
  auto engine = std::make_shared<FlrSnapOS::SimEngine>((top / "sim").string());
  engine->addVolume("simvg-home", home.string());
  engine->addVolume("simvg-data", data.string());
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, engine);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, engine);
  Print("simvg-home at %s\nsimvg-data at %s\n", home.c_str(), data.c_str());

  Step("Load the plug-in and start a job");
  Plugin plugin(o.plugin);
  auto manager = plugin.create("native");
  // Private, as an agent's state folder and mount root must be.
  for (const fs::path& folder : {state, state / "mnt"}) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
  }
  const std::string record = (state / "snap.info").string();
  manager->Initialize(false, record, (state / "snap.map").string(), (state / "mnt").string());
  std::list<std::string> contents{(home / "alice").string(), (data / "db").string()};
  CNeError err = manager->CreateAndMountSnap(contents);
  if (err.IsError()) throw std::runtime_error("snapshot failed: " + err.Message());
  auto pairs = manager->GetSourceToLocalMap();
  for (auto& p : pairs) Print("%s  ->  %s\n", p.first.c_str(), p.second.c_str());
  ShowFile("record file", record);
  ShowFile("map file", state / "snap.map");

  Step("Change the live files while the job runs");
  Write(home / "alice/report.txt", "quarterly report, FINAL\n");
  fs::remove(data / "db/orders.csv");
  const fs::path snapHome = pairs.at(home.string());
  Print("live     report.txt: %s", Read(home / "alice/report.txt").c_str());
  Print("snapshot report.txt: %s", Read(snapHome / "alice/report.txt").c_str());
  Print("live orders.csv exists: %s; in the snapshot: %s\n", fs::exists(data / "db/orders.csv") ? "yes" : "no",
        fs::exists(fs::path(pairs.at(data.string())) / "db/orders.csv") ? "yes" : "no");

  Step("Back up from the snapshots with tar");
  for (auto& p : pairs) {
    fs::path archive = top / (fs::path(p.first).filename().string() + ".tar");
    Run({"tar", "-cf", archive.string(), "-C", p.second, "."});
    Print("%s (%ju bytes) from %s:\n", archive.filename().c_str(), static_cast<uintmax_t>(fs::file_size(archive)),
          p.second.c_str());
    Run({"tar", "-tf", archive.string()});
  }

  Step("Tear down");
  err = manager->UnMountSnap();
  if (err.IsError()) throw std::runtime_error("teardown failed: " + err.Message());
  ShowFile("record file", record);
  ShowFile("done file", record + ".done");
  bool clean = engine->state().snapshots.empty() && fs::is_empty(state / "mnt");
  Print("snapshots left: %zu; mount root empty: %s\n", engine->state().snapshots.size(), clean ? "yes" : "no");
  manager.reset();
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, nullptr);
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_GPFS, nullptr);
  return clean ? 0 : 1;
}
}  // namespace

int RunDemo(const Options& o) {
  int rc;
  {
    TempFolder top;
    Print("Demo folder: %s\n", top.path.c_str());
    rc = Demo(o, top.path);
  }
  Print("\nDemo folder removed. %s\n", rc == 0 ? "Everything the job made is gone." : "Something was left!");
  return rc;
}
