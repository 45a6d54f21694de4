// SPDX-License-Identifier: Apache-2.0
#include <libmount/libmount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engines/lvm/MountOps.h"
#include "zr/ZrException.h"

namespace FlrSnapOS {
MountOps::~MountOps() = default;

namespace {
struct Context {
  libmnt_context* cxt = mnt_new_context();
  ~Context() { mnt_free_context(cxt); }
};

// libmount's own words for a failure, or the system's.
std::string Reason(libmnt_context* cxt, int rc) {
  char text[512] = {};
  mnt_context_get_excode(cxt, rc, text, sizeof text);
  if (text[0]) return text;
  int err = mnt_context_get_syscall_errno(cxt);
  return err ? std::strerror(err) : "unknown error " + std::to_string(rc);
}

class LibmountOps : public MountOps {
 public:
  std::string probe(const std::string& device) override {
    int ambivalent = 0;
    char* type = mnt_get_fstype(device.c_str(), &ambivalent, nullptr);
    std::string out = type && !ambivalent ? type : "";
    std::free(type);
    return out;
  }

  void mount(const std::string& device, const std::string& dir, const std::string& fstype,
             const std::string& options) override {
    Context c;
    if (!c.cxt) throw ZrException("Cannot mount " + device + ": out of memory", ENOMEM);
    mnt_context_disable_helpers(c.cxt, 1);  // the syscall itself: no /sbin/mount.* helper runs
    mnt_context_set_source(c.cxt, device.c_str());
    mnt_context_set_target(c.cxt, dir.c_str());
    mnt_context_set_fstype(c.cxt, fstype.c_str());
    mnt_context_set_options(c.cxt, options.c_str());
    int rc = mnt_context_mount(c.cxt);
    if (rc != 0 || mnt_context_get_status(c.cxt) != 1) {
      throw ZrException(
          "Cannot mount " + device + " (" + fstype + ", " + options + ") on " + dir + ": " + Reason(c.cxt, rc),
          mnt_context_get_syscall_errno(c.cxt));
    }
  }

  void umount(const std::string& dir) override {
    Context c;
    if (!c.cxt) throw ZrException("Cannot unmount " + dir + ": out of memory", ENOMEM);
    mnt_context_disable_helpers(c.cxt, 1);
    mnt_context_set_target(c.cxt, dir.c_str());
    int rc = mnt_context_umount(c.cxt);
    if (rc != 0 || mnt_context_get_status(c.cxt) != 1) {
      throw ZrException("Cannot unmount " + dir + ": " + Reason(c.cxt, rc), mnt_context_get_syscall_errno(c.cxt));
    }
  }

  std::vector<zr::MountRecord> table() override { return zr::ReadMountInfo(); }

  uint64_t generation() override {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_watch.generation();
  }

 private:
  std::mutex m_lock;
  zr::MountWatch m_watch;
};
}  // namespace

std::shared_ptr<MountOps> MakeLibmountOps() { return std::make_shared<LibmountOps>(); }
}  // namespace FlrSnapOS
