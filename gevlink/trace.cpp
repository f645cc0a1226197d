#include "gevlink/trace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace gevlink {
namespace {

uint8_t bcd(int value) { return uint8_t(((value / 10) % 10) << 4 | (value % 10)); }

void putLe(uint8_t* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = uint8_t(value >> (8 * i));
}

uint32_t tickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

std::string generationPath(const std::string& dir, unsigned n) {
  char name[32];
  std::snprintf(name, sizeof name, "Gevlink.%03u", n);
  return dir + "/" + name;
}

class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

}  // namespace

void encodeTraceTime(uint8_t out[8]) {
  using namespace std::chrono;
  auto now = system_clock::now();
  time_t seconds = system_clock::to_time_t(now);
  tm local{};
  localtime_r(&seconds, &local);
  out[0] = bcd(local.tm_year % 100);
  out[1] = bcd(local.tm_mon + 1);
  out[2] = bcd(local.tm_mday);
  out[3] = bcd(local.tm_hour);
  out[4] = bcd(local.tm_min);
  out[5] = bcd(local.tm_sec);
  putLe(out + 6, uint64_t(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000), 2);
}

Trace::Trace(const Settings& settings) {
  const std::string& dir = settings.traceDirectory;
  if (dir.empty()) return;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return;
  lockFd_ = ::open((dir + "/Gevlink.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  attachFd_ = ::open((dir + "/Gevlink.attach").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0 || attachFd_ < 0) return;

  FileLock lock(lockFd_);
  // First process: nobody else holds the attach file.
  bool first = flock(attachFd_, LOCK_EX | LOCK_NB) == 0;
  file_ = generationPath(dir, 0);
  int fd = -1;
  uint32_t ringSize = settings.traceFileSize;
  if (first) {
    // Oldest first: n-2 -> n-1, ..., 000 -> 001; then a fresh 000.
    for (int n = int(settings.traceFileCount) - 2; n >= 0; --n)
      std::rename(generationPath(dir, unsigned(n)).c_str(), generationPath(dir, unsigned(n + 1)).c_str());
    fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } else {
    fd = ::open(file_.c_str(), O_RDWR | O_CLOEXEC);
  }
  flock(attachFd_, LOCK_SH);
  if (fd < 0) return;
  if (!first) {
    // Attach with the geometry the first process chose.
    uint8_t header[kTraceHeaderSize];
    struct stat st {};
    if (pread(fd, header, sizeof header, 0) != ssize_t(sizeof header) || std::memcmp(header, "Gevlink", 8) != 0 ||
        fstat(fd, &st) != 0) {
      ::close(fd);
      return;
    }
    std::memcpy(&ringSize, header + 20, 4);
    std::memcpy(&dataSize_, header + 28, 4);
    if (ringSize == 0 || uint64_t(st.st_size) < uint64_t(ringSize) + kTraceHeaderSize) {
      ::close(fd);
      return;
    }
  } else {
    dataSize_ = settings.traceDataSize;
    if (ftruncate(fd, off_t(ringSize) + kTraceHeaderSize) != 0) {
      ::close(fd);
      return;
    }
  }
  mapSize_ = std::size_t(ringSize) + kTraceHeaderSize;
  void* map = mmap(nullptr, mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return;
  base_ = static_cast<uint8_t*>(map);
  ringSize_ = ringSize;
  if (first) {
    // The ring is zero already (fresh file); write the header.
    std::memcpy(base_, "Gevlink", 8);
    encodeTraceTime(base_ + 8);
    putLe(base_ + 16, tickCount(), 4);
    putLe(base_ + 20, ringSize_, 4);
    putLe(base_ + 24, 0, 4);
    putLe(base_ + 28, dataSize_, 4);
  }
}

Trace::~Trace() {
  if (base_) munmap(base_, mapSize_);
  if (attachFd_ >= 0) ::close(attachFd_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

void Trace::putByte(uint32_t& pos, uint8_t byte) {
  base_[kTraceHeaderSize + pos] = byte;
  pos = pos + 1 >= ringSize_ ? 0 : pos + 1;
}

void Trace::writeRecord(uint16_t event, const uint8_t* prefix, std::size_t prefixLength, const void* payload,
                        std::size_t length) {
  if (!base_) return;
  if (length > dataSize_) length = dataSize_;
  if (!payload) length = 0;
  uint8_t header[kTraceRecordHeaderSize];
  putLe(header, kTraceMarker, 2);
  putLe(header + 2, event, 2);
  encodeTraceTime(header + 4);
  putLe(header + 12, uint32_t(getpid()), 4);
  // The length field counts half of a handle prefix (4 for a handle, 8 for a
  // handle and a count): that is the record layout readers of these files
  // know, so it stays; gevlink-trace finds the next marker after it.
  putLe(header + 16, uint32_t(prefixLength / 2 + length), 4);

  std::lock_guard<std::mutex> guard(mutex_);
  FileLock lock(lockFd_);
  uint32_t pos;
  std::memcpy(&pos, base_ + 24, 4);
  if (pos >= ringSize_) pos = 0;  // a damaged header must not send us outside the ring
  for (uint8_t b : header) putByte(pos, b);
  for (std::size_t i = 0; i < prefixLength; ++i) putByte(pos, prefix[i]);
  const uint8_t* bytes = static_cast<const uint8_t*>(payload);
  for (std::size_t i = 0; i < length; ++i) putByte(pos, bytes[i]);
  if (length % 2) putByte(pos, 0);
  std::memcpy(base_ + 24, &pos, 4);
}

void Trace::write(uint16_t event, const void* payload, std::size_t length) {
  writeRecord(event, nullptr, 0, payload, length);
}

void Trace::writeHandle(uint16_t event, uint64_t handle, const void* payload, std::size_t length) {
  uint8_t prefix[8];
  putLe(prefix, handle, 8);
  writeRecord(event, prefix, sizeof prefix, payload, length);
}

void Trace::writeHandleCount(uint16_t event, uint64_t handle, uint64_t count, const void* payload, std::size_t length) {
  uint8_t prefix[16];
  putLe(prefix, handle, 8);
  putLe(prefix + 8, count, 8);
  writeRecord(event, prefix, sizeof prefix, payload, length);
}

void Trace::writeExit(uint8_t function, uint32_t status, uint32_t code, uint32_t info, uint32_t position) {
  uint8_t payload[16];
  putLe(payload, status, 4);
  putLe(payload + 4, code, 4);
  putLe(payload + 8, info, 4);
  putLe(payload + 12, position, 4);
  writeRecord(traceEvent(function, kStepExit), nullptr, 0, payload, sizeof payload);
}

}  // namespace gevlink
