// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

// Why a file that zrsnap reads or runs as root could have been changed by someone
// else (as sshd's StrictModes asks): the file, or a folder on its way from /, is
// owned by another user than root and us, or writable by group or others (a
// root-owned sticky folder such as /tmp excepted: others cannot replace what is
// in it). Empty when it is safe, or when it does not exist (that fails elsewhere).
std::string UntrustedBecause(const std::string& path);
