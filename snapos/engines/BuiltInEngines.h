// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FlrSnapOSEngine.h"

class ZRPlatformInfo;

namespace FlrSnapOS {
using EngineFactory = std::function<std::shared_ptr<Engine>(const ZRPlatformInfo&)>;

// The engines this library brings, by the name the configuration uses.
std::vector<std::pair<std::string, EngineFactory>> BuiltInEngines();
}  // namespace FlrSnapOS
