#include "viewer/cloud/byte_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cloud {

namespace {
// 1 MiB: system calls cost nothing next to the copy, and the buffer being
// packed stays in the cache.
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
  stopHelper();
  if (fd_ >= 0) ::close(fd_);
}

void ByteWriter::helperLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return pending_ != nullptr || stop_; });
    if (pending_ == nullptr) return;  // stopped with nothing left to write
    const char* data = pending_;
    const std::size_t size = pendingSize_;
    const bool skip = helperFailed_;
    lock.unlock();
    const bool good = skip || writeAll(fd_, data, size);
    lock.lock();
    if (!good) helperFailed_ = true;
    pending_ = nullptr;
    cv_.notify_all();
  }
}

void ByteWriter::waitIdle() {
  if (!helper_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return pending_ == nullptr; });
  if (helperFailed_) ok_ = false;
}

void ByteWriter::stopHelper() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  helper_.join();
}

void ByteWriter::flush() {
  if (used_ == 0) return;
  if (!ok_) {
    used_ = 0;
    return;
  }
  if (!helper_.joinable() && spare_ == nullptr) {
    // First full buffer: the file is large enough to be worth a helper.
    try {
      spare_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
      helper_ = std::thread([this] { helperLoop(); });
    } catch (...) {
      spare_.reset();  // no helper: write on this thread from now on
    }
  }
  if (!helper_.joinable()) {
    ok_ = writeAll(fd_, buffer_.get(), used_);
    used_ = 0;
    return;
  }
  waitIdle();  // the spare buffer is free again
  if (ok_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_ = buffer_.get();
      pendingSize_ = used_;
    }
    cv_.notify_all();
    std::swap(buffer_, spare_);
  }
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
    // Large blocks go to the file directly, after whatever the helper holds.
    waitIdle();
    if (ok_) ok_ = writeAll(fd_, static_cast<const char*>(data), n);
    return;
  }
  std::memcpy(buffer_.get(), data, n);
  used_ = n;
}

bool ByteWriter::finish() {
  flush();
  waitIdle();
  stopHelper();
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0) ok_ = false;
  return ok_;
}

}  // namespace cloud
