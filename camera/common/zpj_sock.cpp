#include "camera/common/zpj_sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "camera/common/zpj_protocol.h"
#include "diag/logger.h"

namespace camera {

namespace {

void pause(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

ZpjSock::ZpjSock(const ZpjWaits& waits, std::uint16_t port) : waits_(waits), port_(port) {}

ZpjSock::~ZpjSock() { close(); }

bool ZpjSock::open(unsigned address) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address & 0xff, (address >> 8) & 0xff, (address >> 16) & 0xff,
                (address >> 24) & 0xff);
  close();
  closing_ = false;
  abort_ = false;
  bool ok = false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    ZEL_LOG("%s: socket: %s", "Socket::connect", std::strerror(errno));
  } else if (connectTo(fd, text)) {
    ok = true;
    fd_ = fd;
  } else {
    ::close(fd);
  }
  if (!ok) ZEL_LOG("error: open socket: %s(%d)\n", text, static_cast<int>(port_));
  std::printf("openPort ret=%d\n", ok ? 0 : -1);
  std::fflush(stdout);
  return ok;
}

bool ZpjSock::connectTo(int fd, const char* addressText) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_);
  if (::inet_pton(AF_INET, addressText, &sa.sin_addr) != 1) return false;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    ZEL_LOG("%s: fcntl: %s", "Socket::connect_to", std::strerror(errno));
    return false;
  }
  bool ok = false;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc == 0) {
    ok = true;
  } else if (errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
      n = ::poll(&p, 1, kConnectTimeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  // Back to blocking mode for the command traffic.
  ::fcntl(fd, F_SETFL, flags);
  return ok;
}

void ZpjSock::closeSocket() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  fd = brokenFd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void ZpjSock::markBroken() {
  // Only the host's close() or open() release the descriptor, so a close()
  // on another thread never touches a number the system has handed out anew.
  int fd = fd_.exchange(-1);
  if (fd >= 0) {
    ::shutdown(fd, SHUT_RDWR);
    brokenFd_ = fd;
  }
}

void ZpjSock::close() {
  closing_ = true;
  abort_ = true;
  // Wakes a receive blocked in poll at once; the descriptor stays valid
  // until the receive has let go of it.
  int fd = fd_.load();
  if (fd >= 0 && busy_.load()) ::shutdown(fd, SHUT_RDWR);
  while (busy_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  closeSocket();
}

long ZpjSock::sendText(const std::string& text) {
  int fd = fd_.load();
  std::size_t sent = 0;
  while (sent < text.size()) {
    // MSG_NOSIGNAL: a peer that went away must give an error, not kill the host.
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ZEL_LOG("%s: send: %s", "Socket::send", std::strerror(n < 0 ? errno : EPIPE));
      return -1;
    }
    sent += static_cast<std::size_t>(n);
  }
  return static_cast<long>(sent);
}

long ZpjSock::receive(std::string* reply, int timeoutMs) {
  busy_ = true;
  abort_ = false;
  long result = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  // closing_ is never cleared here, so a close() that raced with the line
  // above still ends this receive.
  while (!abort_.load() && !closing_.load()) {
    int fd = fd_.load();
    if (fd < 0) {
      result = -1;
      break;
    }
    int waitMs = 1000;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;  // silent past the bound: nothing received
      if (left.count() < waitMs) waitMs = static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, waitMs);
    if (n == 0 || (n < 0 && errno == EINTR)) continue;
    if (abort_.load() || closing_.load()) break;  // woken by close()
    char buf[kRecvChunk];
    ssize_t got = n > 0 ? ::recv(fd, buf, sizeof buf, 0) : -1;
    if (got > 0) {
      reply->append(buf, static_cast<std::size_t>(got));
      result = got;
      break;
    }
    if (got == 0) {
      ZEL_LOG("%s: recv=0", "Socket::recv");
    } else {
      ZEL_LOG("%s: recv: %s", "Socket::recv", std::strerror(errno));
    }
    markBroken();
    abort_ = true;
    result = -1;
    break;
  }
  busy_ = false;
  return result;
}

bool ZpjSock::sendAndParse(const std::string& text, int waitMs) {
  if (!isOpen()) return false;
  if (sendText(text) < 0) return false;
  pause(waitMs);
  std::string reply;
  if (receive(&reply) <= 0) return false;
  return echoReply(reply);
}

bool ZpjSock::commandP(unsigned n) { return sendAndParse(zpj::patternCommand(static_cast<int>(n)), waits_.commandP); }

bool ZpjSock::commandR() {
  if (!isOpen()) return false;
  return sendText(zpj::resetCommand()) >= 0;
}

int ZpjSock::diag() {
  if (!isOpen()) return -1;
  if (sendText(zpj::diagCommand()) < 0) {
    ZEL_LOG("error: write 'd'\n");
    return -1;
  }
  pause(waits_.diagFirst);
  std::string first;
  // The first answer only acknowledges; the diagnostic line follows it.
  if (receive(&first, waits_.diagSilenceMax) <= 0) return -1;
  // A projector that refuses "d" sends nothing more, and one that sent both
  // answers in one write has nothing more to send: waiting for a second
  // answer then would never end.
  if (!zpj::parseReply(first, nullptr) && first.find(zpj::kErr) != std::string::npos) return -1;
  if (auto values = zpj::lastDiagLine(first)) return static_cast<int>((*values)[2]);
  pause(waits_.diagSecond);
  std::string reply;
  long got = receive(&reply, waits_.diagSilenceMax);
  // A link that failed, was closed or stayed silent has no diagnostic value
  // to give: -1, never a level of 0 the host would take for a reading.
  if (got <= 0) return -1;
  auto values = zpj::lastDiagLine(reply);
  return values ? static_cast<int>((*values)[2]) : 0;
}

bool ZpjSock::setLight(unsigned level) { return sendAndParse(zpj::lightCommand(level), waits_.setLightSock); }

bool ZpjSock::commandZ(unsigned n) {
  if (!isOpen()) return false;
  if (sendText(zpj::sequenceCommand(static_cast<int>(n))) < 0) return false;
  pause(waits_.commandZ);
  std::string reply;
  for (;;) {
    std::size_t before = reply.size();
    // A dropped link ends the sequence wait with false instead of looping on
    // a socket that keeps failing.
    if (receive(&reply) <= 0) return false;
    if (zpj::endsSequenceReply(std::string_view(reply).substr(before))) break;
    if (reply.size() > kMaxReply) {
      ZEL_LOG("error: z reply too long (%zu bytes)\n", reply.size());
      return false;
    }
  }
  return echoReply(reply);
}

bool ZpjSock::commandX(unsigned n) {
  if (!isOpen()) return false;
  long sent = sendText(zpj::echoCommand(static_cast<int>(n)));
  if (sent < 0) return false;
  pause(waits_.commandXSock);
  std::string reply;
  long got = receive(&reply);
  std::printf("sended=%ld recv(%ld)\n", sent, got);
  std::fflush(stdout);
  if (got <= 0) return false;
  return echoReply(reply);
}

}  // namespace camera
