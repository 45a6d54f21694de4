#pragma once
#include <string>
#include <utility>
#include <vector>

#include "FlrSnapOSEngine.h"

namespace FlrSnapOS {
// The engines this library brings, by the name the configuration uses.
std::vector<std::pair<std::string, EngineFactory>> BuiltInEngines();
}  // namespace FlrSnapOS
