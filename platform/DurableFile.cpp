// SPDX-License-Identifier: Apache-2.0
#include "zr/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zr {
namespace {
int WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Closes on every path; keeps the first error.
int Finish(int fd, int rc) {
  if (rc == 0 && ::fsync(fd) != 0) rc = errno;
  if (::close(fd) != 0 && rc == 0) rc = errno;
  return rc;
}

// A file we only ever create ourselves: a regular file with no other name.
int CheckOwnFile(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  return st.st_nlink > 1 ? EMLINK : 0;
}

const int kNoLink = O_NOFOLLOW | O_CLOEXEC;
}  // namespace

int SyncFolderOf(const std::string& path) {
  int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

int AppendDurably(const std::string& path, const std::string& text) {
  bool created = true;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | kNoLink, 0600);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | kNoLink);
  }
  if (fd < 0) return errno;
  int rc = created ? (::fchmod(fd, 0600) == 0 ? 0 : errno) : CheckOwnFile(fd);
  if (rc == 0) rc = WriteAll(fd, text);
  rc = Finish(fd, rc);
  if (rc == 0 && created) rc = SyncFolderOf(path);
  return rc;
}

int ReplaceDurably(const std::string& path, const std::string& text, const std::string& scratch) {
  const std::string tmp = scratch.empty() ? path + ".tmp" : scratch;
  // A leftover, or anything planted under the scratch name, goes first: the
  // exclusive create then guarantees a fresh file of our own.
  ::unlink(tmp.c_str());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoLink, 0600);
  if (fd < 0) return errno;
  int rc = ::fchmod(fd, 0600) == 0 ? 0 : errno;
  if (rc == 0) rc = WriteAll(fd, text);
  rc = Finish(fd, rc);
  if (rc == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) {
    ::unlink(tmp.c_str());
    return rc;
  }
  return SyncFolderOf(path);
}

int ReadWhole(const std::string& path, std::string& text, size_t maxBytes) {
  text.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | kNoLink);
  if (fd < 0) return errno;
  struct stat st {};
  int rc = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  char buffer[65536];
  while (rc == 0) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) rc = errno;
    if (n <= 0) break;
    if (text.size() + static_cast<size_t>(n) > maxBytes) rc = EFBIG;
    if (rc == 0) text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return rc;
}

int ReadLines(const std::string& path, std::vector<std::string>& lines) {
  lines.clear();
  std::string text;
  int err = ReadWhole(path, text);
  if (err == ENOENT) return 0;
  if (err) return err;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // A record edited on another system keeps its meaning.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return 0;
}
}  // namespace zr
