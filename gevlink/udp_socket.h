#pragma once
// The UDP plumbing of the transport: an owned file descriptor, IPv4
// addresses, sockets bound to a PC interface, and poll deadlines.
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <utility>

namespace gevlink {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `t` for poll(); 0 once it has passed.
int msUntil(Clock::time_point t);

// Owns one file descriptor; closes it when reset or destroyed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset();

 private:
  int fd_ = -1;
};

// An IPv4 socket address; `netAddress` in network byte order, `port` in host order.
sockaddr_in addressOf(uint32_t netAddress, uint16_t port);
// A UDP socket bound to the interface address (port 0: any); on failure an
// empty Fd and `err` holds errno.
Fd udpSocket(uint32_t interfaceAddress, int& err);
// The port (host order) a socket is bound to.
uint16_t localPort(int fd);

}  // namespace gevlink
