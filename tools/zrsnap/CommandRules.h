// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "zrsnap/Options.h"

// Refuses, with UsageError, what a command would otherwise ignore: a word it does
// not take (`cleanup FILE` would clean the default record), an option that does
// not apply to it, -v with -q, and help about a command that does not exist.
void CheckCommandLine(const Options& o);
