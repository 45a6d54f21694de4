// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

#include "zrsnap/Options.h"

// A shell command line that runs `zrsnap WORDS` with the same configuration and
// engine (simulated folder included) as o, from any folder.
std::string SameEngineCommand(const Options& o, const std::string& words);
// The same, on the same manager kind, job files and plug-in too.
std::string SameJobCommand(const Options& o, const std::string& words);
// text quoted for a POSIX shell where it needs quoting.
std::string ShellQuote(const std::string& text);
