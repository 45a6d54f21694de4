// SPDX-License-Identifier: Apache-2.0
#include "CXHSMMntTab.h"

#include "FlrSnapOSEngine.h"

struct CXHSMMntTab::Contents {
  std::weak_ptr<FlrSnapOS::Engine> engine;
  uint64_t generation = 0;
  std::map<std::string, std::shared_ptr<const Entry>> byMountPoint;
  std::shared_ptr<std::vector<std::string>> mountPoints = std::make_shared<std::vector<std::string>>();
};

CXHSMMntTab::CXHSMMntTab() : m_contents(load()) {}

std::shared_ptr<const CXHSMMntTab::Contents> CXHSMMntTab::load() const {
  auto engine = FlrSnapOS::engine(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  auto c = std::make_shared<Contents>();
  c->engine = engine;
  // Take the generation first: a change while reading then shows as a later one.
  c->generation = engine->mountTableGeneration();
  for (auto& m : engine->mountTable()) {
    auto e = std::make_shared<Entry>(Entry{m.device, m.mountPoint, m.fsType, m.root});
    if (c->byMountPoint.count(m.mountPoint) == 0) c->mountPoints->push_back(m.mountPoint);
    c->byMountPoint[m.mountPoint] = std::move(e);  // a later line is mounted on top
  }
  return c;
}

std::shared_ptr<const CXHSMMntTab::Contents> CXHSMMntTab::current() const { return std::atomic_load(&m_contents); }

std::shared_ptr<const CXHSMMntTab::Entry> CXHSMMntTab::find(const char* mountPoint) const {
  auto c = current();
  auto it = c->byMountPoint.find(mountPoint ? mountPoint : "");
  if (it == c->byMountPoint.end()) return nullptr;
  return it->second;
}

std::shared_ptr<const std::vector<std::string>> CXHSMMntTab::mountPoints() const {
  auto c = current();
  return std::shared_ptr<const std::vector<std::string>>(c, c->mountPoints.get());
}

bool CXHSMMntTab::refreshIfChanged() {
  std::lock_guard<std::mutex> hold(m_refresh);
  auto c = current();
  auto engine = FlrSnapOS::engine(FlrSnapOS::FLR_SNAP_ENG_NATIVE);
  if (c->engine.lock() == engine && engine->mountTableGeneration() == c->generation) return false;
  std::atomic_store(&m_contents, load());
  return true;
}
