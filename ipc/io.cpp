#include "ipc/io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/owner_guard.h"

namespace orvipc {

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Event::Event() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Event::set() {
  std::uint64_t one = 1;
  ssize_t n = ::write(fd_.get(), &one, sizeof one);
  (void)n;  // only fails when the counter is already huge, i.e. set
}

void Event::reset() {
  std::uint64_t value = 0;
  ssize_t n = ::read(fd_.get(), &value, sizeof value);
  (void)n;  // EAGAIN: was not set
}

bool Event::isSet() const {
  pollfd p{fd_.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

std::string ipcDir() { return platform::runtimeDir("orvipc"); }

bool validServerName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find('/') != std::string::npos) return false;
  // Room for the folder, "/", the name and "_EVENT" in a socket address.
  return name.size() <= 259;
}

bool sendAll(int fd, const void* buf, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(buf);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool sendAll(int fd, const void* head, std::size_t headSize, const void* data, std::size_t dataSize) {
  iovec parts[2] = {{const_cast<void*>(head), headSize}, {const_cast<void*>(data), dataSize}};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = dataSize > 0 ? 2 : 1;
  while (msg.msg_iovlen > 0) {
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Skip what went out; a partial write continues where it stopped.
    auto left = static_cast<std::size_t>(n);
    while (msg.msg_iovlen > 0 && left >= msg.msg_iov[0].iov_len) {
      left -= msg.msg_iov[0].iov_len;
      ++msg.msg_iov;
      --msg.msg_iovlen;
    }
    if (msg.msg_iovlen > 0) {
      msg.msg_iov[0].iov_base = static_cast<std::uint8_t*>(msg.msg_iov[0].iov_base) + left;
      msg.msg_iov[0].iov_len -= left;
    }
  }
  return true;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace orvipc
