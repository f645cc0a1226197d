#include "camera/common/zpj_com.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::string serialDevicePath(unsigned port) {
  if (port == 0) return {};
  std::string var = "ZELCAM_COM" + std::to_string(port);
  if (const char* path = std::getenv(var.c_str()); path && *path) return path;
  return "/dev/ttyS" + std::to_string(port - 1);
}

ZpjCom::ZpjCom(const ZpjWaits& waits) : waits_(waits) {}

ZpjCom::~ZpjCom() { close(); }

bool ZpjCom::open(unsigned port) {
  if (isOpen()) return true;
  std::string path = serialDevicePath(port);
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  termios tio{};
  // Exclusive use, as the port is opened for one owner only.
  bool ok = ::ioctl(fd, TIOCEXCL) == 0 && ::tcgetattr(fd, &tio) == 0;
  if (ok) {
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ok = ::cfsetispeed(&tio, B9600) == 0 && ::cfsetospeed(&tio, B9600) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
  }
  if (!ok) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return false;
  }
  // Bytes left over from an earlier session would read as this session's replies.
  ::tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return true;
}

void ZpjCom::close() {
  if (!isOpen()) return;
  // The exclusive flag stays on the terminal while any other holder keeps it
  // open; drop it so the port can be opened again.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

std::size_t ZpjCom::writeText(const std::string& text) {
  if (!isOpen()) return 0;
  for (char c : text) {
    for (;;) {
      ssize_t n = ::write(fd_, &c, 1);
      if (n == 1) break;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        // A device that went away is a failure, unlike a slow line.
        ZEL_LOG("error: serial write: %s\n", std::strerror(errno));
        return 0;
      }
      pollfd p{fd_, POLLOUT, 0};
      // A byte that does not leave within the time-out is not reported.
      if (::poll(&p, 1, kWriteByteTimeoutMs) <= 0) break;
    }
  }
  return text.size();
}

std::size_t ZpjCom::readQueued(std::string* reply) {
  if (!isOpen()) return 0;
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) return 0;
  std::size_t want = static_cast<std::size_t>(queued) < kReadMax ? static_cast<std::size_t>(queued) : kReadMax;
  char buf[kReadMax];
  ssize_t n;
  do {
    n = ::read(fd_, buf, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  reply->append(buf, static_cast<std::size_t>(n));
  return static_cast<std::size_t>(n);
}

bool ZpjCom::writeWaitParse(const std::string& text, int waitMs) {
  if (!isOpen()) return false;
  if (writeText(text) == 0) return false;
  pause(waitMs);
  std::string reply;
  readQueued(&reply);
  return echoReply(reply);
}

bool ZpjCom::commandP(unsigned n) {
  if (!isOpen()) return false;
  return writeText(zpj::patternCommand(static_cast<int>(n))) > 0;
}

bool ZpjCom::commandR() {
  if (!isOpen()) return false;
  return writeText(zpj::resetCommand()) > 0;
}

int ZpjCom::diag() {
  if (!isOpen()) return -1;
  if (writeText(zpj::diagCommand()) == 0) return -1;
  pause(waits_.diagFirst);
  std::string reply;
  std::size_t n = readQueued(&reply);
  if (n == 0) return -1;
  ZEL_LOG("\n%d bytes read\n", static_cast<int>(n));
  auto values = zpj::firstDiagMarker(reply);
  if (!values) return 0;
  ZEL_LOG(" light: %x %x %x", (*values)[0], (*values)[1], (*values)[2]);
  return static_cast<int>((*values)[2]);
}

bool ZpjCom::setLight(unsigned level) { return writeWaitParse(zpj::lightCommand(level), waits_.setLightCom); }

bool ZpjCom::commandZ(unsigned n) { return writeWaitParse(zpj::sequenceCommand(static_cast<int>(n)), waits_.commandZ); }

bool ZpjCom::commandX(unsigned n) { return writeWaitParse(zpj::echoCommand(static_cast<int>(n)), waits_.commandXCom); }

}  // namespace camera
