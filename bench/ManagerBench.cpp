// SPDX-License-Identifier: Apache-2.0
// Cost of the per-path checks of CreateAndMountSnap and of Cleanup over a long
// record, on the simulated engine.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <filesystem>
#include <fstream>

#include "Kestrel/KestrelNativeSnapManagerPrivate.h"
#include "engines/sim/SimEngine.h"
#include "zr/LogWriter.h"

namespace fs = std::filesystem;

namespace {
class Quiet : public CLogWriterInterface {
 public:
  void Write(int, const char*, int, int, int, const char*, ...) override {}
  int GetLevel() override { return -2; }
};

struct Bench {
  fs::path top;
  std::shared_ptr<FlrSnapOS::SimEngine> engine;
  std::list<std::string> contents;  // 2,500 directories on each of 4 volumes
  std::list<std::string> oneEach;

  Bench() {
    std::string pattern = (fs::temp_directory_path() / "zrsnap-bench-XXXXXX").string();
    top = ::mkdtemp(pattern.data());
    engine = std::make_shared<FlrSnapOS::SimEngine>((top / "sim").string());
    for (int v = 0; v < 4; ++v) {
      fs::path vol = top / ("vol" + std::to_string(v));
      for (int i = 0; i < 50; ++i) {
        for (int j = 0; j < 50; ++j) {
          fs::path d = vol / std::to_string(i) / std::to_string(j);
          fs::create_directories(d);
          contents.push_back(d.string());
        }
      }
      oneEach.push_back(vol.string());
      engine->addVolume("simvg-" + std::to_string(v), vol.string());
    }
    fs::create_directories(top / "mnt");
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, engine);
    g_ptrLogWriter = boost::make_shared<Quiet>();
  }
  ~Bench() {
    FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, nullptr);
    fs::remove_all(top);
  }
  void initialize(CKestrelNativeSnapManagerPrivate& m) {
    m.Initialize(false, (top / "snap.info").string(), (top / "snap.map").string(), (top / "mnt").string());
  }
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

// A manager that snapshotted the four volumes already skips them in its
// second call, so that call costs exactly the checks of its content paths.
void BM_CreateAndMountSnap_Checks10000Paths(benchmark::State& state) {
  Bench& b = TheBench();
  CKestrelNativeSnapManagerPrivate m;
  b.initialize(m);
  std::list<std::string> first = b.oneEach;
  if (m.CreateAndMountSnap(first).IsError()) state.SkipWithError(m.GetLastError().c_str());
  for (auto _ : state) {
    std::list<std::string> contents = b.contents;
    CNeError e = m.CreateAndMountSnap(contents);
    if (e.IsError()) state.SkipWithError(e.Message().c_str());
  }
  m.UnMountSnap();
  state.counters["per_path"] =
      benchmark::Counter(static_cast<double>(b.contents.size()),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Cleanup_10000Records(benchmark::State& state) {
  Bench& b = TheBench();
  std::string record = (b.top / "snap.info").string();
  for (auto _ : state) {
    state.PauseTiming();
    {
      std::ofstream out(record, std::ios::trunc);
      for (int i = 0; i < 10000; ++i) {
        out << "/vol" << i % 4 << ":simvg-" << i % 4 << "@zrks_" << i << ":" << b.top.string() << "/mnt/zrks_" << i
            << "\n";
      }
    }
    CKestrelNativeSnapManagerPrivate m;
    std::string path = record;
    m.SetSnapInfoFile(path);
    state.ResumeTiming();
    m.Cleanup();
  }
  state.counters["records"] = 10000;
}
}  // namespace

BENCHMARK(BM_CreateAndMountSnap_Checks10000Paths)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cleanup_10000Records)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
