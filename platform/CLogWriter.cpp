// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "zr/LogWriter.h"
#include "zr/ZrException.h"

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

CLogWriterInterface& ZrLogWriter() {
  if (CLogWriterInterface* installed = g_ptrLogWriter.get()) return *installed;
  static CStreamLogWriter* fallback =
      new CStreamLogWriter(ZR_LOG_PROGRESS, stderr);  // never destroyed: used at exit too
  return *fallback;
}

CStreamLogWriter::CStreamLogWriter(int level, FILE* stream) : m_level(level), m_stream(stream), m_owned(false) {}

namespace {
// A log names devices and paths of root's jobs: never through a link someone
// planted, and readable by its owner only when we create it.
FILE* OpenLog(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  FILE* stream = ::fdopen(fd, "a");
  if (!stream) {
    int err = errno;
    ::close(fd);
    errno = err;
  }
  return stream;
}
}  // namespace

CStreamLogWriter::CStreamLogWriter(int level, const std::string& path)
    : m_level(level), m_stream(OpenLog(path)), m_owned(true), m_path(path) {
  if (!m_stream) throw ZrException("Cannot open log file " + path, errno);
}

CStreamLogWriter::~CStreamLogWriter() {
  if (m_owned) std::fclose(m_stream);
}

const char* CStreamLogWriter::LevelName(int level) {
  if (level < 0) return "ERROR";
  if (level == 0) return "INFO";
  return "DEBUG";
}

void CStreamLogWriter::Write(int level, const char* function, int line, int, int, const char* format, ...) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::lock_guard<std::mutex> hold(m_lock);
  std::fprintf(m_stream, "%s.%03ld %-5s ", stamp, static_cast<long>(now.tv_usec / 1000), LevelName(level));
  va_list args;
  va_start(args, format);
  std::vfprintf(m_stream, format, args);
  va_end(args);
  if (m_level >= ZR_LOG_DETAIL) std::fprintf(m_stream, "  [%s:%d]", function, line);
  std::fputc('\n', m_stream);
  errno = 0;
  if (std::fflush(m_stream) != 0 || std::ferror(m_stream)) noteFailedWrite(errno ? errno : EIO);
  std::clearerr(m_stream);
}

void CStreamLogWriter::noteFailedWrite(int err) {
  if (m_failed || m_stream == stderr) return;
  m_failed = true;
  std::string where = m_path.empty() ? "its stream" : m_path;
  std::fprintf(stderr, "Cannot write the log to %s: %s; lines may be missing there from now on\n", where.c_str(),
               std::strerror(err));
}
