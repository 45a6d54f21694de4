// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "zrsnap/Options.h"

// Each returns the process's exit status; failures throw std::exception with a
// one-line reason (UsageError for exit status 2).
int RunJob(const Options& o);
int CleanupRecord(const Options& o);
int ShowStatus(const Options& o);
int SimVolumes(const Options& o);
int RunDemo(const Options& o);
