// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

// What zrsnap prints for its caller on standard output. A reader that went
// away (`| head`) must not end a job before its teardown, so SIGPIPE is
// ignored: the first failed write is reported once, what follows is dropped,
// and the exit status says that what was asked for was lost.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// True once a write to standard output failed.
bool OutputLost();

// Called first in main: from then on a broken pipe is a failed write.
void IgnoreBrokenPipes();
// In a forked child before exec (async-signal-safe): SIGPIPE as zrsnap found it.
void RestoreBrokenPipes();
