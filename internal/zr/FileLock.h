// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>

#include "zr/ZrApi.h"

namespace zr {
// An exclusive lock on a file, held through an open file description of its
// own: it conflicts with every other holder, in this process or another, and
// the kernel drops it when the holder releases it or dies. The holder's pid is
// written in the file so that others can say who holds it.
class ZR_API FileLock {
 public:
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock on path, creating the file (mode 0600, never through a
  // symbolic link). On failure returns null with err set: EWOULDBLOCK when
  // another holder has it (holder: its pid, or 0 when it wrote none yet),
  // EMLINK when the file has other names, EPERM when another user owns it.
  // A child forked without exec does not hold the locks of its parent.
  static std::unique_ptr<FileLock> TryAcquire(const std::string& path, pid_t& holder, int& err);

  const std::string& path() const { return m_path; }
  // In a forked child: lets go of the parent's lock description.
  void releaseInChild();

 private:
  FileLock(std::string path, int fd);
  std::string m_path;
  int m_fd;
};

// The pid of the process that holds the lock on path: 0 when nobody holds it,
// -1 when a holder has not written its pid yet.
ZR_API pid_t LockHolder(const std::string& path);
}  // namespace zr
