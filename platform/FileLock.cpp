// SPDX-License-Identifier: Apache-2.0
#include "zr/FileLock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace zr {
namespace {
// Open file description locks: unlike POSIX record locks they conflict within
// one process too, and unlike flock they can be tested without being taken.
struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

pid_t WrittenPid(int fd) {
  char text[32] = {};
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// O_NONBLOCK: a FIFO planted under the name must not hang the open.
int OpenLockFile(const std::string& path, int mode) {
  int fd = ::open(path.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}
// A lock file with other names, or of another user, is not ours: locking it
// would truncate and rewrite somebody else's file.
int CheckOwnLockFile(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (st.st_nlink != 1) return EMLINK;
  if (st.st_uid != ::geteuid()) return EPERM;
  return 0;
}

// Every lock held in this process. A child forked without exec shares the
// locks' open file descriptions: it closes its copies at once, so that a lock
// goes when the job ends, not when the last child does.
std::mutex g_heldLock;
std::set<FileLock*>& Held() {
  static std::set<FileLock*>* held = new std::set<FileLock*>();  // outlives every holder
  return *held;
}

void BeforeFork() { g_heldLock.lock(); }
void AfterForkParent() { g_heldLock.unlock(); }
void AfterForkChild();

const bool g_forkHandlers = (::pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild), true);
}  // namespace

FileLock::FileLock(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {
  std::lock_guard<std::mutex> hold(g_heldLock);
  Held().insert(this);
}

FileLock::~FileLock() {
  {
    std::lock_guard<std::mutex> hold(g_heldLock);
    Held().erase(this);
  }
  if (m_fd < 0) return;
  // Unlocked before the close: a child forked before its fork handler ran
  // may still share the description, and the job is over all the same.
  struct flock unlock = WholeFile(F_UNLCK);
  ::fcntl(m_fd, F_OFD_SETLK, &unlock);
  ::close(m_fd);
}

void FileLock::releaseInChild() {
  ::close(m_fd);
  m_fd = -1;
}

namespace {
void AfterForkChild() {
  for (FileLock* lock : Held()) lock->releaseInChild();
  g_heldLock.unlock();
}
}  // namespace

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path, pid_t& holder, int& err) {
  holder = 0;
  (void)g_forkHandlers;
  int fd = OpenLockFile(path, O_RDWR | O_CREAT);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  if ((err = CheckOwnLockFile(fd)) != 0) {
    ::close(fd);
    return nullptr;
  }
  struct flock lock = WholeFile(F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    err = errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
    if (err == EWOULDBLOCK) holder = WrittenPid(fd);
    ::close(fd);
    return nullptr;
  }
  ::fchmod(fd, 0600);
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    err = errno;
    ::close(fd);
    return nullptr;
  }
  err = 0;
  return std::unique_ptr<FileLock>(new FileLock(path, fd));
}

pid_t LockHolder(const std::string& path) {
  int fd = OpenLockFile(path, O_RDONLY);
  if (fd < 0) return 0;
  struct flock lock = WholeFile(F_WRLCK);
  pid_t holder = 0;
  if (::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
    holder = WrittenPid(fd);
    if (holder == 0) holder = -1;
  }
  ::close(fd);
  return holder;
}
}  // namespace zr
