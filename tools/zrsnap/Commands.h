#pragma once
#include "zrsnap/Options.h"

// Each returns the process's exit status; failures throw std::exception with a one-line reason.
int RunJob(const Options& o);
int CleanupRecord(const Options& o);
int ShowStatus(const Options& o);
int RunDemo(const Options& o);

// Installs the engine that the options name (the configuration decides otherwise).
void SelectEngine(const Options& o);
