// SPDX-License-Identifier: Apache-2.0
#include "engines/sim/TreeCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "zr/ZrException.h"

// Both walks go from directory descriptor to directory descriptor and never
// follow a symbolic link, so a link planted in a tree (or in place of it) while
// root copies or removes it cannot send either walk anywhere else.
namespace FlrSnapOS {
namespace {
const int kMaxDepth = 128;  // two descriptors per level while copying
const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

[[noreturn]] void Fail(const std::string& what, int err) { throw ZrException(what, err); }

std::string Join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The names in a directory, read whole so that no stream stays open while the caller recurses.
std::vector<std::string> Names(int dirFd, const std::string& path) {
  int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
  if (!dir) {
    int err = errno;
    if (copy >= 0) ::close(copy);
    Fail("Cannot read " + path, err);
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  int err = errno;
  ::closedir(dir);
  if (err) Fail("Cannot read " + path, err);
  return names;
}

// Opens the directory at path without following a link in its last component.
int OpenDirectory(const std::string& path, const std::string& purpose) {
  int fd = ::open(path.c_str(), kDirFlags);
  if (fd >= 0) return fd;
  int err = errno;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    Fail("Refusing to " + purpose + " " + path + ": it is a symbolic link, not a directory", 0);
  }
  Fail("Cannot " + purpose + " " + path, err);
}

// A reflink shares the extents (instant, no space) where the file system can.
void CopyContent(int in, int out, const std::string& what) {
  if (::ioctl(out, FICLONE, in) == 0) return;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got == 0) return;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("Cannot read " + what, errno);
    for (ssize_t done = 0; done < got;) {
      ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) Fail("Cannot write the copy of " + what, errno);
      done += put;
    }
  }
}

// Copies as a read-only, nosuid snapshot mount shows the volume: owners kept
// where we may set them (as root), setuid and setgid bits of files dropped.
class Copier {
 public:
  Copier(std::string from, std::string to, dev_t device)
      : m_from(std::move(from)), m_to(std::move(to)), m_device(device), m_keepOwners(::geteuid() == 0) {}

  void directory(int from, int to, const std::string& rel, int depth) {
    if (depth > kMaxDepth) {
      Fail("Cannot copy " + source(rel) + ": the tree is deeper than " + std::to_string(kMaxDepth) + " levels", 0);
    }
    for (auto& name : Names(from, source(rel))) entry(from, to, name, rel.empty() ? name : Join(rel, name), depth);
  }

 private:
  std::string source(const std::string& rel) const { return rel.empty() ? m_from : Join(m_from, rel); }
  std::string target(const std::string& rel) const { return rel.empty() ? m_to : Join(m_to, rel); }
  [[noreturn]] void failCopy(const std::string& rel, int err) const {
    Fail("Cannot copy " + source(rel) + " to " + target(rel), err);
  }

  void entry(int from, int to, const std::string& name, const std::string& rel, int depth) {
    struct stat st {};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return;  // gone since the listing: not in this point in time
      failCopy(rel, errno);
    }
    if (S_ISDIR(st.st_mode)) {
      subdirectory(from, to, name, rel, depth);
    } else if (S_ISREG(st.st_mode)) {
      file(from, to, name, rel);
    } else if (S_ISLNK(st.st_mode)) {
      link(from, to, name, rel, st);
    }  // devices, fifos and sockets have no content to back up
  }

  void subdirectory(int from, int to, const std::string& name, const std::string& rel, int depth) {
    Fd in(::openat(from, name.c_str(), kDirFlags));
    if (in.get() < 0) {
      if (errno == ENOENT) return;
      failCopy(rel, errno);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) failCopy(rel, errno);
    if (::mkdirat(to, name.c_str(), 0700) != 0) failCopy(rel, errno);
    Fd out(::openat(to, name.c_str(), kDirFlags));
    if (out.get() < 0) failCopy(rel, errno);
    // Another file system mounted inside the volume is not part of its snapshot.
    if (st.st_dev == m_device) directory(in.get(), out.get(), rel, depth + 1);
    finish(out.get(), st, st.st_mode & 07777, rel);
  }

  void file(int from, int to, const std::string& name, const std::string& rel) {
    Fd in(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (in.get() < 0) {
      if (errno == ENOENT || errno == ELOOP) return;  // gone, or a link now: not what was listed
      failCopy(rel, errno);
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) failCopy(rel, errno);
    if (!S_ISREG(st.st_mode)) return;
    Fd out(::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) failCopy(rel, errno);
    CopyContent(in.get(), out.get(), source(rel));
    finish(out.get(), st, st.st_mode & 07777 & ~(S_ISUID | S_ISGID), rel);
  }

  void link(int from, int to, const std::string& name, const std::string& rel, const struct stat& st) {
    std::vector<char> text(static_cast<size_t>(st.st_size) + 2);
    ssize_t n = ::readlinkat(from, name.c_str(), text.data(), text.size());
    if (n < 0) failCopy(rel, errno);
    if (static_cast<size_t>(n) >= text.size()) failCopy(rel, ENAMETOOLONG);  // changed since the listing
    std::string value(text.data(), static_cast<size_t>(n));
    if (::symlinkat(value.c_str(), to, name.c_str()) != 0) failCopy(rel, errno);
    if (m_keepOwners && ::fchownat(to, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
      failCopy(rel, errno);
    }
  }

  // Owner first: changing it would clear mode bits set before.
  void finish(int fd, const struct stat& st, mode_t mode, const std::string& rel) {
    if (m_keepOwners && ::fchown(fd, st.st_uid, st.st_gid) != 0) failCopy(rel, errno);
    if (::fchmod(fd, mode) != 0) failCopy(rel, errno);
    timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    if (::futimens(fd, times) != 0) failCopy(rel, errno);
  }

  std::string m_from, m_to;
  dev_t m_device;
  bool m_keepOwners;
};

void EmptyAt(int dirFd, const std::string& path, dev_t device) {
  for (auto& name : Names(dirFd, path)) {
    std::string child = Join(path, name);
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      Fail("Cannot remove " + child, errno);
    }
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != device) Fail("Cannot remove " + child + ": another file system is mounted there", EBUSY);
      Fd sub(::openat(dirFd, name.c_str(), kDirFlags));
      if (sub.get() < 0) Fail("Cannot remove " + child, errno);
      EmptyAt(sub.get(), child, device);
    }
    if (::unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
      Fail("Cannot remove " + child, errno);
    }
  }
}
}  // namespace

void CopyTree(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (in.get() < 0) Fail("Cannot read " + from, errno);
  Fd out(OpenDirectory(to, "copy into"));
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) Fail("Cannot read " + from, errno);
  Copier(from, to, st.st_dev).directory(in.get(), out.get(), "", 0);
}

void EmptyDirectory(const std::string& dir) {
  Fd fd(OpenDirectory(dir, "empty"));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) Fail("Cannot read " + dir, errno);
  EmptyAt(fd.get(), dir, st.st_dev);
}

bool IsEmptyDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), kDirFlags);
  if (fd < 0) return false;
  Fd hold(fd);
  return Names(fd, dir).empty();
}
}  // namespace FlrSnapOS
