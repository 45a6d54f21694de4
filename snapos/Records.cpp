#include "FlrSnapOS.h"
#include "FlrSnapOSEngine.h"

namespace FlrSnapOS {
Snap::Snap(std::shared_ptr<Engine> engine, const std::string& special, std::string snapName, std::string key)
    : rdev(special), name(std::move(snapName)), id(std::move(key)), m_engine(std::move(engine)) {}
Snap::~Snap() = default;

bool Snap::isMounted() { return m_engine->isMounted(*this); }
void Snap::deleteSnap() { m_engine->deleteSnap(*this); }

LV::LV(std::shared_ptr<Engine> engine, const std::string& special, std::string key)
    : rdev(special), id(std::move(key)), m_engine(std::move(engine)) {}
LV::~LV() = default;

SP<Snap> LV::createSnap(uint32_t cowSizeMB, const std::string& snapName, std::string& mountDir) {
  return m_engine->createSnap(*this, cowSizeMB, snapName, mountDir);
}

Engine::~Engine() = default;
}  // namespace FlrSnapOS
