#include "camera/sdk/simhead/head_images.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace camera::sdk::simhead {
namespace {

constexpr char kMagic[8] = {'Z', 'E', 'L', 'H', 'E', 'A', 'D', '1'};
// How long a read waits for the head's writer to finish an update: a busy
// machine may hold the writer between its two images for a long time.
constexpr auto kReadPatience = std::chrono::seconds(2);

template <class T>
T field(const std::uint8_t* bytes, std::size_t offset) {
  T v;
  std::memcpy(&v, bytes + offset, sizeof v);
  return v;
}

// pread until count bytes or a failure; a short object gives false.
bool readAll(int fd, void* out, std::size_t count, off_t offset) {
  auto* p = static_cast<std::uint8_t*>(out);
  while (count > 0) {
    ssize_t n = ::pread(fd, p, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

bool parseHeader(const std::uint8_t* bytes, std::size_t size, std::uint64_t objectSize, HeadHeader* out) {
  if (!bytes || size < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  if (field<std::uint32_t>(bytes, 8) != kHeaderSize) return false;
  HeadHeader h;
  h.sequence = field<std::uint32_t>(bytes, 12);
  h.width = field<std::int32_t>(bytes, 16);
  h.height = field<std::int32_t>(bytes, 20);
  h.pattern = field<std::int32_t>(bytes, 24);
  h.triggerCount = field<std::uint64_t>(bytes, 32);
  h.imageBytes = field<std::uint64_t>(bytes, 40);
  if (h.width <= 0 || h.height <= 0 || h.width > kMaxSide || h.height > kMaxSide) return false;
  if (h.imageBytes != static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height)) return false;
  if (objectSize < kHeaderSize || (objectSize - kHeaderSize) / 2 < h.imageBytes) return false;
  *out = h;
  return true;
}

std::string headObjectName() {
  const char* name = std::getenv("ZELCAM_SIM_HEAD");
  return std::string("/") + (name && *name ? name : "zelsim-head");
}

std::unique_ptr<HeadImages> HeadImages::open(const std::string& objectName, std::string* why) {
  int fd = ::shm_open(objectName.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    if (why) *why = "no virtual head published as " + objectName + ": " + std::strerror(errno);
    return nullptr;
  }
  std::uint8_t bytes[kHeaderSize];
  struct stat st {};
  HeadHeader h;
  if (::fstat(fd, &st) != 0 || !readAll(fd, bytes, sizeof bytes, 0) ||
      !parseHeader(bytes, sizeof bytes, static_cast<std::uint64_t>(st.st_size), &h)) {
    ::close(fd);
    if (why) *why = "the virtual head published as " + objectName + " is not valid";
    return nullptr;
  }
  return std::unique_ptr<HeadImages>(new HeadImages(objectName, fd, h.width, h.height));
}

HeadImages::~HeadImages() { ::close(fd_); }

void HeadImages::followRestart() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || st.st_nlink > 0) return;
  // Our object was removed: its head is gone. A new one under the name takes
  // its place when its images have our size.
  std::unique_ptr<HeadImages> fresh = open(name_, nullptr);
  if (!fresh || fresh->width_ != width_ || fresh->height_ != height_) return;
  std::swap(fd_, fresh->fd_);
}

bool HeadImages::readHeader(HeadHeader* h) const {
  followRestart();
  std::uint8_t bytes[kHeaderSize];
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !readAll(fd_, bytes, sizeof bytes, 0)) return false;
  if (!parseHeader(bytes, sizeof bytes, static_cast<std::uint64_t>(st.st_size), h)) return false;
  // The copy sizes were fixed at open: a head that changed size is another head.
  return h->width == width_ && h->height == height_;
}

bool HeadImages::triggerCount(std::uint64_t* count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  HeadHeader h;
  if (!readHeader(&h)) return false;
  *count = h.triggerCount;
  return true;
}

bool HeadImages::read(int camera, std::uint8_t* out, std::uint64_t* triggerCount) const {
  if (camera != 0 && camera != 1) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t bytes = frameBytes();
  const off_t offset = static_cast<off_t>(kHeaderSize + static_cast<std::size_t>(camera) * bytes);
  const auto deadline = std::chrono::steady_clock::now() + kReadPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    HeadHeader before, after;
    if (!readHeader(&before)) return false;
    if (before.sequence & 1u) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    const int object = fd_;
    if (!readAll(fd_, out, bytes, offset)) return false;
    if (!readHeader(&after)) return false;
    if (fd_ == object && after.sequence == before.sequence) {
      if (triggerCount) *triggerCount = before.triggerCount;
      return true;
    }
  }
  return false;
}

void applyFactor(const std::uint8_t* in, std::uint8_t* out, std::size_t count, double factor) {
  if (factor == 1.0) {
    if (in != out) std::memmove(out, in, count);
    return;
  }
  std::uint8_t table[256];
  for (int v = 0; v < 256; ++v) {
    double scaled = std::floor(v * factor + 0.5);
    table[v] = static_cast<std::uint8_t>(scaled > 255.0 ? 255.0 : (scaled < 0.0 ? 0.0 : scaled));
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = table[in[i]];
}

}  // namespace camera::sdk::simhead
