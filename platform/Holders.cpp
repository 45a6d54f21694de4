// SPDX-License-Identifier: Apache-2.0
#include "zr/Holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "zr/DurableFile.h"
namespace zr {
namespace {
const size_t kCommandLength = 60;

// What a process's link or file stands for.
struct Seen {
  std::string path;
  struct stat st {};
  bool statted = false;
};
using Matcher = std::function<bool(const Seen&)>;

// A process may end while it is looked at: its files then read as empty. A
// stream would throw from its buffer (ESRCH) in the middle of a teardown.
std::string ReadText(const std::string& path) {
  std::string text;
  return zr::ReadWhole(path, text) == 0 ? text : std::string();
}

std::string LinkOf(const std::string& link) {
  char buffer[4096];
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

Seen Look(const std::string& link) {
  Seen s;
  s.path = LinkOf(link);
  s.statted = ::stat(link.c_str(), &s.st) == 0;
  return s;
}

std::string CommandOf(const std::string& dir) {
  std::string line = ReadText(dir + "/cmdline");
  while (!line.empty() && line.back() == '\0') line.pop_back();
  for (char& c : line) c = c == '\0' ? ' ' : c;
  if (line.empty()) {
    line = ReadText(dir + "/comm");
    while (!line.empty() && line.back() == '\n') line.pop_back();
  }
  return line.size() > kCommandLength ? line.substr(0, kCommandLength) + "..." : line;
}

// The files of /proc/PID/maps as "dev path" pairs seen once each.
std::vector<Seen> Mappings(const std::string& dir) {
  std::vector<Seen> out;
  std::set<std::string> seen;
  std::istringstream maps(ReadText(dir + "/maps"));
  for (std::string line; std::getline(maps, line);) {
    std::istringstream words(line);
    std::string range, perms, offset, dev, inode, path;
    words >> range >> perms >> offset >> dev >> inode;
    std::getline(words >> std::ws, path);
    if (path.empty() || path[0] != '/' || !seen.insert(path).second) continue;
    unsigned major = 0, minor = 0;
    Seen s;
    s.path = path;
    if (std::sscanf(dev.c_str(), "%x:%x", &major, &minor) == 2) {
      s.st.st_dev = makedev(major, minor);
      s.statted = true;
    }
    out.push_back(s);
  }
  return out;
}

// How process dir holds what match accepts; false when its entries cannot be read.
bool Examine(const std::string& dir, const Matcher& match, std::vector<std::string>& how, int& err) {
  for (const char* link : {"cwd", "root"}) {
    if (match(Look(dir + "/" + link))) how.push_back(link);
  }
  DIR* fds = ::opendir((dir + "/fd").c_str());
  if (!fds) {
    err = errno;
    return false;
  }
  while (dirent* e = ::readdir(fds)) {
    if (e->d_name[0] == '.') continue;
    Seen s = Look(dir + "/fd/" + e->d_name);
    if (!match(s)) continue;
    how.push_back((s.statted && S_ISBLK(s.st.st_mode) ? "open device " : "open file ") + s.path);
  }
  ::closedir(fds);
  for (auto& m : Mappings(dir)) {
    if (match(m)) how.push_back("mapping " + m.path);
  }
  return true;
}

Holders Walk(const std::string& proc, const Matcher& match) {
  Holders out;
  DIR* all = ::opendir(proc.c_str());
  if (!all) {
    out.unexamined = 1;
    out.unexaminedWhy = "cannot read " + proc + ": " + std::strerror(errno);
    return out;
  }
  while (dirent* e = ::readdir(all)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    const std::string dir = proc + "/" + e->d_name;
    Holder h;
    int err = 0;
    if (!Examine(dir, match, h.how, err)) {
      if (err == ENOENT) continue;  // it ended meanwhile
      if (out.unexamined++ == 0) out.unexaminedWhy = std::strerror(err);
    }
    if (h.how.empty()) continue;
    h.pid = static_cast<pid_t>(pid);
    h.command = CommandOf(dir);
    out.processes.push_back(h);
  }
  ::closedir(all);
  return out;
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         (dir.back() == '/' || path[dir.size()] == '/'));
}

// A mount point of its own: its device differs from its parent's.
bool IsMountPoint(const std::string& dir, dev_t& dev) {
  struct stat here {
  }, parent{};
  if (::stat(dir.c_str(), &here) != 0 || ::stat((dir + "/..").c_str(), &parent) != 0) return false;
  dev = here.st_dev;
  return here.st_dev != parent.st_dev;
}
}  // namespace

Holders ProcessesUsingDevice(dev_t dev, const std::string& proc) {
  return Walk(proc, [dev](const Seen& s) {
    return s.statted && (s.st.st_dev == dev || (S_ISBLK(s.st.st_mode) && s.st.st_rdev == dev));
  });
}

Holders ProcessesHolding(const std::string& dir, const std::string& proc) {
  dev_t dev = 0;
  if (IsMountPoint(dir, dev)) return ProcessesUsingDevice(dev, proc);
  char* real = ::realpath(dir.c_str(), nullptr);
  std::string resolved = real ? real : dir;
  std::free(real);
  return Walk(proc, [resolved](const Seen& s) { return !s.path.empty() && IsUnder(s.path, resolved); });
}

std::vector<std::string> DeviceHolders(dev_t dev, const std::string& sysBlock) {
  std::vector<std::string> out;
  const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev)) + "\n";
  DIR* all = ::opendir(sysBlock.c_str());
  if (!all) return out;
  while (dirent* e = ::readdir(all)) {
    const std::string block = sysBlock + "/" + e->d_name;
    if (e->d_name[0] == '.' || ReadText(block + "/dev") != wanted) continue;
    DIR* holders = ::opendir((block + "/holders").c_str());
    while (holders) {
      dirent* h = ::readdir(holders);
      if (!h) break;
      if (h->d_name[0] == '.') continue;
      std::string name = ReadText(sysBlock + "/" + h->d_name + "/dm/name");
      while (!name.empty() && name.back() == '\n') name.pop_back();
      out.push_back(std::string(h->d_name) + (name.empty() ? "" : " (" + name + ")"));
    }
    if (holders) ::closedir(holders);
  }
  ::closedir(all);
  return out;
}

std::string Holders::describe() const {
  std::string text;
  for (auto& p : processes) {
    std::string how;
    for (auto& h : p.how) how += (how.empty() ? "" : ", ") + h;
    text += (text.empty() ? "" : "; ") + ("pid " + std::to_string(p.pid) + " (" + p.command + "): " + how);
  }
  if (!devices.empty()) {
    std::string names;
    for (auto& d : devices) names += (names.empty() ? "" : ", ") + d;
    text += (text.empty() ? "" : "; ") + ("device-mapper holders: " + names);
  }
  if (text.empty()) text = "no process that this one can see holds it";
  if (unexamined) {
    text += "; " + std::to_string(unexamined) + " process(es) could not be examined (" + unexaminedWhy + ")";
  }
  return text;
}
}  // namespace zr
