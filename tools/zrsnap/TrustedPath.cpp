// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/TrustedPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Problem(const std::string& path, bool folder) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    return path + " is owned by user " + std::to_string(st.st_uid) + ", not by root or by us";
  }
  bool stickyRootFolder = folder && (st.st_mode & S_ISVTX) && st.st_uid == 0;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !stickyRootFolder) {
    return path + " can be written by " + ((st.st_mode & S_IWOTH) ? "any user" : "its group") + " (mode " +
           Octal(st.st_mode) + ")";
  }
  return "";
}
}  // namespace

std::string UntrustedBecause(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return "";
  std::string real = resolved;
  if (std::string why = Problem(real, false); !why.empty()) return why;
  for (size_t slash = real.rfind('/'); slash != std::string::npos && slash > 0; slash = real.rfind('/', slash - 1)) {
    if (std::string why = Problem(real.substr(0, slash), true); !why.empty()) return why;
  }
  return Problem("/", true);
}
