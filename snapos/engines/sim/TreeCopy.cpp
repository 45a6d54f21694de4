#include "engines/sim/TreeCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "zr/ZrException.h"

namespace fs = std::filesystem;

namespace FlrSnapOS {
namespace {
void Throw(const std::string& what, const std::error_code& ec) { throw ZrException(what, ec.value()); }

// A reflink shares the extents (instant, no space) where the file system can.
bool Reflink(const fs::path& from, const fs::path& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = out >= 0 && ::ioctl(out, FICLONE, in) == 0;
  if (out >= 0) ::close(out);
  ::close(in);
  if (!ok && out >= 0) ::unlink(to.c_str());
  return ok;
}

void CopyFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!Reflink(from, to)) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) Throw("Cannot copy " + from.string() + " to " + to.string(), ec);
  }
  fs::permissions(to, fs::status(from).permissions(), ec);
  fs::last_write_time(to, fs::last_write_time(from, ec), ec);
}
}  // namespace

void CopyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::recursive_directory_iterator it(from, fs::directory_options::none, ec), end;
  if (ec) Throw("Cannot read " + from, ec);
  for (; it != end; it.increment(ec)) {
    if (ec) Throw("Cannot read " + from, ec);
    fs::path target = fs::path(to) / it->path().lexically_relative(from);  // never through a link
    auto status = it->symlink_status();
    if (fs::is_symlink(status)) {
      fs::copy_symlink(it->path(), target, ec);
    } else if (fs::is_directory(status)) {
      fs::create_directory(target, ec);
      if (!ec) fs::permissions(target, status.permissions(), ec);
    } else if (fs::is_regular_file(status)) {
      CopyFile(it->path(), target);
    }  // devices, fifos and sockets have no content to back up
    if (ec) Throw("Cannot copy " + it->path().string() + " to " + target.string(), ec);
  }
}

void EmptyDirectory(const std::string& dir) {
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(dir, ec)) {
    fs::remove_all(entry.path(), ec);
    if (ec) Throw("Cannot remove " + entry.path().string(), ec);
  }
  if (ec) Throw("Cannot read " + dir, ec);
}
}  // namespace FlrSnapOS
