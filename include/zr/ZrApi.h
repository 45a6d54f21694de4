// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstddef>  // brings the standard library's configuration macros

// std::string and std::list cross the plug-in's interface by value, so the
// agent must use the same standard library and layout: libstdc++ with its
// new (C++11) ABI. A mismatch would otherwise show up only at run time.
#if defined(_LIBCPP_VERSION)
#error "The snapshot manager interface needs libstdc++ (not libc++): build the agent without -stdlib=libc++"
#elif defined(_GLIBCXX_USE_CXX11_ABI) && !_GLIBCXX_USE_CXX11_ABI
#error "The snapshot manager interface needs libstdc++'s new ABI: build the agent without -D_GLIBCXX_USE_CXX11_ABI=0"
#endif

// Symbols that cross a shared-library boundary. Everything else is hidden.
#define ZR_API __attribute__((visibility("default")))
