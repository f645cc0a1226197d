#include "viewer/cloud/byte_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cloud {

namespace {
// 1 MiB: large enough that system calls cost nothing next to the copy, small
// enough to stay in the cache while records are packed into it.
constexpr std::size_t kBufferSize = 1 << 20;

bool writeAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t put = ::write(fd, data, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}
}  // namespace

std::unique_ptr<ByteWriter> ByteWriter::create(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::unique_ptr<ByteWriter> w(new ByteWriter);
  w->fd_ = fd;
  w->buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
  return w;
}

ByteWriter::~ByteWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void ByteWriter::flush() {
  if (used_ > 0 && ok_) ok_ = writeAll(fd_, buffer_.get(), used_);
  used_ = 0;
}

char* ByteWriter::reserve(std::size_t n) {
  if (used_ + n > kBufferSize) flush();
  return buffer_.get() + used_;
}

void ByteWriter::write(const void* data, std::size_t n) {
  if (used_ + n <= kBufferSize) {
    std::memcpy(buffer_.get() + used_, data, n);
    used_ += n;
    return;
  }
  flush();
  if (n >= kBufferSize) {
    if (ok_) ok_ = writeAll(fd_, static_cast<const char*>(data), n);
    return;
  }
  std::memcpy(buffer_.get(), data, n);
  used_ = n;
}

bool ByteWriter::finish() {
  flush();
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0) ok_ = false;
  return ok_;
}

}  // namespace cloud
