// SPDX-License-Identifier: Apache-2.0
#include "engines/BuiltInEngines.h"

#include "engines/gpfs/GpfsEngine.h"
#include "engines/lvm/LvmEngine.h"
#include "engines/sim/SimEngine.h"

namespace FlrSnapOS {
std::vector<std::pair<std::string, EngineFactory>> BuiltInEngines() {
  return {
      {"sim", [](const ZRPlatformInfo& config) -> std::shared_ptr<Engine> { return SimEngine::FromConfig(config); }},
      {"lvm", [](const ZRPlatformInfo& config) -> std::shared_ptr<Engine> { return LvmEngine::FromConfig(config); }},
      {"gpfs", [](const ZRPlatformInfo& config) -> std::shared_ptr<Engine> { return GpfsEngine::FromConfig(config); }},
  };
}
}  // namespace FlrSnapOS
