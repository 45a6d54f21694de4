// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

// zrsnap's own messages: "zrsnap: TEXT" on stderr, and the same text in the log
// file when --log names one, so that the file holds the reason of a failure too.
void UseLogFile(bool toFile);
void TellFailure(const std::string& text);   // log level -1
void TellProgress(const std::string& text);  // log level 0
