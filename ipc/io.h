#pragma once
// Small RAII pieces for the IPC library: file descriptors, a pollable
// manual-reset event, the runtime folder of the sockets and shared memory.
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvipc {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Manual-reset event that poll(2) can wait on: an eventfd whose counter is
// non-zero while the event is set.
class Event {
 public:
  Event();
  void set();
  void reset();
  bool isSet() const;
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
};

// The folder of the server sockets and guards ($XDG_RUNTIME_DIR/orvipc, else
// /tmp/orvipc-$UID, mode 0700); empty when it cannot be used.
std::string ipcDir();

// A server name usable as a file name in that folder: not empty, no '/',
// not "." or "..", short enough for a socket address.
bool validServerName(const std::string& name);

// Writes all of buf to a socket (no SIGPIPE). False on error or time-out;
// errno tells which.
bool sendAll(int fd, const void* buf, std::size_t size);
// Writes a header and its data as one message, without joining them first.
bool sendAll(int fd, const void* head, std::size_t headSize, const void* data, std::size_t dataSize);

// Waits up to timeoutMs for fd to become readable; false on time-out.
bool waitReadable(int fd, int timeoutMs);

}  // namespace orvipc
