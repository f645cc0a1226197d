#include "viewer/app/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nubiview {

namespace {

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool fail(std::string* why) {
  if (why) *why = std::strerror(errno);
  return false;
}

}  // namespace

bool writeWholeFile(const std::string& path, const std::string& bytes, std::string* why) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return fail(why);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return fail(why);
    const bool ok = writeAll(fd, bytes);
    const int saved = errno;
    if (::close(fd) != 0 || !ok) {
      if (!ok) errno = saved;
      return fail(why);
    }
    return true;
  }
  // The temporary sits beside the target so that the rename stays within
  // one file system.
  static std::atomic<unsigned> serial{0};
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string tmp = folder + "." + name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return fail(why);
  bool ok = writeAll(fd, bytes);
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  if (ok) saved = errno;
  ::unlink(tmp.c_str());
  errno = saved;
  return fail(why);
}

}  // namespace nubiview
