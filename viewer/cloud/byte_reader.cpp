#include "viewer/cloud/byte_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cloud {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

std::unique_ptr<ByteReader> ByteReader::open(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<ByteReader> r(new ByteReader);
  r->fd_ = fd;
  r->size_ = static_cast<std::uint64_t>(st.st_size);
  r->buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  r->bufferSize_ = kBufferSize;
  r->data_ = r->buffer_.get();
  return r;
}

std::unique_ptr<ByteReader> ByteReader::fromMemory(std::span<const std::uint8_t> bytes, std::size_t windowSize) {
  std::unique_ptr<ByteReader> r(new ByteReader);
  r->size_ = bytes.size();
  r->memory_ = bytes.data();
  r->window_ = windowSize == 0 ? bytes.size() : windowSize;
  r->data_ = bytes.data();
  r->len_ = r->window_ < bytes.size() ? r->window_ : bytes.size();
  return r;
}

ByteReader::~ByteReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool ByteReader::refill() {
  consumed_ += len_;
  pos_ = 0;
  len_ = 0;
  if (fd_ < 0) {
    if (memory_ == nullptr) return false;
    const std::uint64_t left = size_ - consumed_;
    data_ = memory_ + consumed_;
    len_ = static_cast<std::size_t>(left < window_ ? left : window_);
    return len_ > 0;
  }
  for (;;) {
    ssize_t got = ::read(fd_, buffer_.get(), bufferSize_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    len_ = static_cast<std::size_t>(got);
    return true;
  }
}

bool ByteReader::readLine(std::size_t maxChars, std::string_view& line) {
  lastLineCut_ = false;
  if (pos_ == len_ && !refill()) return false;
  // Fast case: the whole line lies in the current window.
  std::size_t avail = len_ - pos_;
  const std::uint8_t* start = data_ + pos_;
  std::size_t scan = avail < maxChars + 1 ? avail : maxChars + 1;
  const void* nl = std::memchr(start, '\n', scan);
  if (nl != nullptr) {
    std::size_t n = static_cast<const std::uint8_t*>(nl) - start;
    if (n <= maxChars) {
      line = std::string_view(reinterpret_cast<const char*>(start), n);
      pos_ += n + 1;
      return true;
    }
  }
  if (avail > maxChars + 1) {
    // No LF within maxChars + 1 bytes: a piece of maxChars characters; a CR
    // or CR LF right after it belongs to it.
    line = std::string_view(reinterpret_cast<const char*>(start), maxChars);
    pos_ += maxChars;
    lastLineCut_ = start[maxChars] != '\r';
    if (start[maxChars] == '\r') {
      ++pos_;
      if (start[maxChars + 1] == '\n') ++pos_;
    }
    return true;
  }
  // The line crosses the end of the window: gather it byte by byte.
  if (lineBufferSize_ < maxChars + 2) {
    lineBuffer_ = std::make_unique_for_overwrite<char[]>(maxChars + 2);
    lineBufferSize_ = maxChars + 2;
  }
  std::size_t n = 0;
  auto peek = [this]() -> int {
    if (pos_ == len_ && !refill()) return -1;
    return data_[pos_];
  };
  for (;;) {
    int c = peek();
    if (c < 0) break;
    if (c == '\n') {
      ++pos_;
      break;
    }
    if (n == maxChars) {
      // Full piece: an immediate line end (LF, CR LF or a lone CR) belongs to it.
      if (c == '\r') {
        ++pos_;
        if (peek() == '\n') ++pos_;
      } else {
        lastLineCut_ = true;
      }
      break;
    }
    lineBuffer_[n++] = static_cast<char>(c);
    ++pos_;
  }
  line = std::string_view(lineBuffer_.get(), n);
  return true;
}

bool ByteReader::readExact(void* dst, std::size_t n) { return readSome(dst, n) == n; }

std::size_t ByteReader::readSome(void* dst, std::size_t n) {
  const std::size_t wanted = n;
  auto* out = static_cast<std::uint8_t*>(dst);
  std::size_t fromWindow = len_ - pos_ < n ? len_ - pos_ : n;
  if (fromWindow > 0) std::memcpy(out, data_ + pos_, fromWindow);
  pos_ += fromWindow;
  out += fromWindow;
  n -= fromWindow;
  if (n == 0) return wanted;
  if (fd_ < 0) {
    while (n > 0 && refill()) {
      const std::size_t take = len_ < n ? len_ : n;
      std::memcpy(out, data_, take);
      pos_ = take;
      out += take;
      n -= take;
    }
    return wanted - n;
  }
  // Large remainders go straight from the file into dst: one bulk read,
  // no copy through the buffer.
  consumed_ += len_;
  pos_ = 0;
  len_ = 0;
  while (n > 0) {
    ssize_t got = ::read(fd_, out, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out += got;
    n -= static_cast<std::size_t>(got);
    consumed_ += static_cast<std::uint64_t>(got);
  }
  return wanted - n;
}

bool ByteReader::skip(std::uint64_t n) {
  if (n <= len_ - pos_) {
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  const std::uint64_t here = position();
  const bool enough = n <= size_ - std::min(here, size_);
  const std::uint64_t target = enough ? here + n : size_;
  // Empty the window; the next refill starts at the target.
  consumed_ = target;
  pos_ = 0;
  len_ = 0;
  if (fd_ >= 0) {
    if (::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) return false;
  } else {
    data_ = memory_;
  }
  return enough;
}

}  // namespace cloud
