// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Plugin.h"

#include <dlfcn.h>

#include <stdexcept>

namespace {
// GetNativeSnapManager(std::string), as the C++ ABI spells it.
const char kFactory[] = "_Z20GetNativeSnapManagerNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
}  // namespace

Plugin::Plugin(const std::string& path) : m_handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)), m_path(path) {
  if (!m_handle) throw std::runtime_error("cannot load the plug-in " + path + ": " + ::dlerror());
}

Plugin::~Plugin() { ::dlclose(m_handle); }

Plugin::Manager Plugin::create(const std::string& kind) {
  ::dlerror();
  auto factory = reinterpret_cast<CKestrelNativeSnapManager* (*)(std::string)>(::dlsym(m_handle, kFactory));
  if (const char* why = ::dlerror()) throw std::runtime_error(m_path + " has no GetNativeSnapManager: " + why);
  Manager m(factory(kind));
  if (!m) throw std::runtime_error(m_path + " knows no manager of kind \"" + kind + "\"");
  return m;
}
