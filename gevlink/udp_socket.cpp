#include "gevlink/udp_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace gevlink {

int msUntil(Clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return ms < 0 ? 0 : int(ms);
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

sockaddr_in addressOf(uint32_t netAddress, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = netAddress;
  a.sin_port = htons(port);
  return a;
}

Fd udpSocket(uint32_t interfaceAddress, int& err) {
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    err = errno;
    return fd;
  }
  sockaddr_in local = addressOf(interfaceAddress, 0);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    err = errno;
    fd.reset();
  }
  return fd;
}

uint16_t localPort(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

}  // namespace gevlink
