// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>
#include <vector>

// What is wrong with the configuration file that the plug-in and the engines will read.
struct ConfigProblems {
  std::vector<std::string> warnings;  // one per unknown section or key: it is ignored
  std::string error;                  // the file cannot be used: a named file is missing, the file cannot be
                                      // read or parsed (file and line), or a number key holds something else
};
ConfigProblems CheckConfiguration();

// "FILE" or "FILE (absent: defaults)", for the context lines of status and cleanup.
std::string DescribeConfiguration();
