#include "sim/gige/testing/private_netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sim::netns {
namespace {

enum class State { NotTried, Inside, Failed };
State state = State::NotTried;
std::string reason = "the test program did not enter a private network namespace (link zel_netns_gtest_main)";

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool writeFile(const char* path, const std::string& text, std::string& error) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errnoText(std::string("open ") + path);
    return false;
  }
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok) error = errnoText(std::string("write ") + path);
  ::close(fd);
  return ok;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool bringLoopbackUp(std::string& error) {
  Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) {
    error = errnoText("socket");
    return false;
  }
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(s.get(), SIOCGIFFLAGS, &req) < 0) {
    error = errnoText("SIOCGIFFLAGS lo");
    return false;
  }
  req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
  if (::ioctl(s.get(), SIOCSIFFLAGS, &req) < 0) {
    error = errnoText("SIOCSIFFLAGS lo up");
    return false;
  }
  return true;
}

// Sends one datagram to 255.255.255.255 from 127.0.0.1 and waits for it on a
// socket bound to the wildcard address, as GigE Vision discovery does.
bool broadcastReachesLoopback(std::string& error) {
  Fd rx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  Fd tx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (rx.get() < 0 || tx.get() < 0) {
    error = errnoText("socket");
    return false;
  }
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof any;
  if (::bind(rx.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) < 0 ||
      ::getsockname(rx.get(), reinterpret_cast<sockaddr*>(&any), &len) < 0) {
    error = errnoText("bind receiver");
    return false;
  }
  int on = 1;
  ::setsockopt(tx.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(tx.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) < 0) {
    error = errnoText("bind 127.0.0.1");
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = any.sin_port;
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  const char probe[] = "zel-netns-probe";
  if (::sendto(tx.get(), probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    error = errnoText("broadcast from 127.0.0.1");
    return false;
  }
  pollfd p{rx.get(), POLLIN, 0};
  char got[64];
  if (::poll(&p, 1, 1000) != 1 || ::recv(rx.get(), got, sizeof got, 0) != sizeof probe) {
    error = "a broadcast to 255.255.255.255 from 127.0.0.1 does not arrive on loopback";
    return false;
  }
  return true;
}

}  // namespace

bool enterPrivateNetwork() {
  if (state != State::NotTried) return state == State::Inside;
  state = State::Failed;
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    reason = errnoText("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
    return false;
  }
  // From here on the process is in the new namespaces whatever fails next;
  // it cannot reach any real interface, which is the point.
  std::string error;
  if (!writeFile("/proc/self/setgroups", "deny", error) ||
      !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", error) ||
      !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", error) || !bringLoopbackUp(error) ||
      !broadcastReachesLoopback(error)) {
    reason = error;
    return false;
  }
  state = State::Inside;
  reason.clear();
  return true;
}

bool inPrivateNetwork() { return state == State::Inside; }

std::string skipReason() { return reason; }

}  // namespace sim::netns
