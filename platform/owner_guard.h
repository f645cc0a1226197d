#pragma once
// "First owner" guard: the stand-in for a named object whose creation tells
// whether it already existed. An exclusive flock on a lock file; the kernel
// releases it when the owner exits or dies, so a crashed owner never blocks a
// restart.
#include <memory>
#include <string>

namespace platform {

class OwnerGuard {
 public:
  // Takes the guard at path (the file is created, mode 0600). Null when
  // another live owner holds it or the file cannot be created.
  static std::unique_ptr<OwnerGuard> acquire(const std::string& path);
  ~OwnerGuard();
  OwnerGuard(const OwnerGuard&) = delete;
  OwnerGuard& operator=(const OwnerGuard&) = delete;
  const std::string& path() const { return path_; }

 private:
  OwnerGuard(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

// The per-user runtime folder for sockets and guards: $XDG_RUNTIME_DIR/sub,
// else /tmp/sub-$UID, created with mode 0700. Empty when it cannot be made or
// is not a private directory owned by this user.
std::string runtimeDir(const std::string& sub);

}  // namespace platform
