// SPDX-License-Identifier: Apache-2.0
#include "zr/MountInfo.h"

#include <fcntl.h>
#include <libmount/libmount.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "zr/ZrException.h"

namespace zr {
namespace {
std::string Text(const char* s) { return s ? s : ""; }

struct TableDeleter {
  void operator()(libmnt_table* t) const { mnt_unref_table(t); }
};
struct IterDeleter {
  void operator()(libmnt_iter* i) const { mnt_free_iter(i); }
};
}  // namespace

std::vector<MountRecord> ReadMountInfo(const std::string& path) {
  std::unique_ptr<libmnt_table, TableDeleter> table(mnt_new_table());
  if (!table) throw ZrException("Cannot read mount table " + path + ": out of memory", ENOMEM);
  int rc = mnt_table_parse_file(table.get(), path.c_str());
  if (rc != 0) throw ZrException("Cannot read mount table " + path, rc < 0 ? -rc : EINVAL);

  std::unique_ptr<libmnt_iter, IterDeleter> iter(mnt_new_iter(MNT_ITER_FORWARD));
  std::vector<MountRecord> out;
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    MountRecord r;
    r.source = Text(mnt_fs_get_source(fs));
    r.target = Text(mnt_fs_get_target(fs));
    r.fstype = Text(mnt_fs_get_fstype(fs));
    r.root = Text(mnt_fs_get_root(fs));
    r.options = Text(mnt_fs_get_options(fs));
    r.devno = mnt_fs_get_devno(fs);
    out.push_back(std::move(r));
  }
  return out;
}

MountWatch::MountWatch() : m_fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}

MountWatch::~MountWatch() {
  if (m_fd >= 0) ::close(m_fd);
}

uint64_t MountWatch::generation() {
  // Without the file we cannot tell: treat every question as a change, which is
  // slower but never stale.
  if (m_fd < 0) return ++m_generation;
  pollfd p{m_fd, POLLPRI, 0};
  // The kernel records the namespace's event count per open file and reports
  // POLLPRI|POLLERR once per change, updating the count as it does so.
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR))) ++m_generation;
  return m_generation;
}
}  // namespace zr
