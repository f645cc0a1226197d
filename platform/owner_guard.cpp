#include "platform/owner_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

std::unique_ptr<OwnerGuard> OwnerGuard::acquire(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<OwnerGuard>(new OwnerGuard(path, fd));
}

OwnerGuard::~OwnerGuard() {
  // The file stays: removing it would let a late opener lock an unlinked
  // inode while a newcomer locks a fresh one.
  ::close(fd_);
}

std::string runtimeDir(const std::string& sub) {
  std::string dir;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) {
    dir = std::string(xdg) + "/" + sub;
  } else {
    dir = "/tmp/" + sub + "-" + std::to_string(::getuid());
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
    return {};
  }
  return dir;
}

}  // namespace platform
