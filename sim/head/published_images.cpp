#include "sim/head/published_images.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim::head {
namespace {
constexpr char kMagic[8] = {'Z', 'E', 'L', 'H', 'E', 'A', 'D', '1'};
}

std::unique_ptr<ImagesPublisher> ImagesPublisher::create(const std::string& name, int width, int height,
                                                         std::string* error) {
  if (name.empty() || name.find('/') != std::string::npos || width <= 0 || height <= 0) {
    if (error) *error = "bad shared-memory name or image size";
    return nullptr;
  }
  std::unique_ptr<ImagesPublisher> p(new ImagesPublisher);
  const size_t image = static_cast<size_t>(width) * height;
  p->size_ = sizeof(PublishedHeader) + 2 * image;
  p->shmName_ = "/" + name;
  // A fresh object, never the old one truncated under a reader or another
  // publisher that still has it mapped (a mapping cut short ends in SIGBUS).
  ::shm_unlink(p->shmName_.c_str());
  p->fd_ = ::shm_open(p->shmName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (p->fd_ < 0 || ::ftruncate(p->fd_, static_cast<off_t>(p->size_)) != 0) {
    if (error) *error = "cannot create shared memory " + p->shmName_ + ": " + std::strerror(errno);
    return nullptr;
  }
  p->map_ = ::mmap(nullptr, p->size_, PROT_READ | PROT_WRITE, MAP_SHARED, p->fd_, 0);
  if (p->map_ == MAP_FAILED) {
    p->map_ = nullptr;
    if (error) *error = "cannot map shared memory " + p->shmName_ + ": " + std::strerror(errno);
    return nullptr;
  }
  auto* h = static_cast<PublishedHeader*>(p->map_);
  h->headerSize = sizeof(PublishedHeader);
  h->width = width;
  h->height = height;
  h->pattern = -1;
  h->imageBytes = image;
  __atomic_store_n(&h->sequence, 0u, __ATOMIC_RELAXED);
  std::memcpy(h->magic, kMagic, sizeof kMagic);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  return p;
}

ImagesPublisher::~ImagesPublisher() {
  if (map_) ::munmap(map_, size_);
  if (fd_ >= 0) {
    // Remove the name only while it still names our object: a later
    // publisher under the same name keeps its own.
    struct stat mine {
    }, named{};
    int fd = ::shm_open(shmName_.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
      if (::fstat(fd_, &mine) == 0 && ::fstat(fd, &named) == 0 && mine.st_ino == named.st_ino)
        ::shm_unlink(shmName_.c_str());
      ::close(fd);
    }
    ::close(fd_);
  }
}

void ImagesPublisher::publish(int pattern, uint64_t triggerCount, const uint8_t* left, const uint8_t* right) {
  auto* h = static_cast<PublishedHeader*>(map_);
  auto* images = static_cast<uint8_t*>(map_) + sizeof(PublishedHeader);
  const uint32_t seq = __atomic_load_n(&h->sequence, __ATOMIC_RELAXED);
  __atomic_store_n(&h->sequence, seq + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  h->pattern = pattern;
  h->triggerCount = triggerCount;
  std::memcpy(images, left, h->imageBytes);
  std::memcpy(images + h->imageBytes, right, h->imageBytes);
  __atomic_store_n(&h->sequence, seq + 2, __ATOMIC_RELEASE);
}

std::unique_ptr<ImagesReader> ImagesReader::open(const std::string& name) {
  std::unique_ptr<ImagesReader> r(new ImagesReader);
  std::string shm = "/" + name;
  r->fd_ = ::shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (r->fd_ < 0) return nullptr;
  struct stat st {};
  if (::fstat(r->fd_, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(PublishedHeader))) return nullptr;
  r->size_ = static_cast<size_t>(st.st_size);
  r->map_ = ::mmap(nullptr, r->size_, PROT_READ, MAP_SHARED, r->fd_, 0);
  if (r->map_ == MAP_FAILED) {
    r->map_ = nullptr;
    return nullptr;
  }
  const auto* h = static_cast<const PublishedHeader*>(r->map_);
  // Check every size against the mapping before a read uses it.
  if (std::memcmp(h->magic, kMagic, sizeof kMagic) != 0 || h->headerSize != sizeof(PublishedHeader) || h->width <= 0 ||
      h->height <= 0 || h->imageBytes != static_cast<uint64_t>(h->width) * static_cast<uint64_t>(h->height) ||
      h->imageBytes > (r->size_ - sizeof(PublishedHeader)) / 2)
    return nullptr;
  return r;
}

ImagesReader::~ImagesReader() {
  if (map_) ::munmap(map_, size_);
  if (fd_ >= 0) ::close(fd_);
}

bool ImagesReader::read(PublishedImages* out) const {
  const auto* h = static_cast<const PublishedHeader*>(map_);
  const auto* images = static_cast<const uint8_t*>(map_) + sizeof(PublishedHeader);
  const size_t bytes = static_cast<size_t>(h->imageBytes);  // checked at open, never rewritten
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint32_t before = __atomic_load_n(&h->sequence, __ATOMIC_ACQUIRE);
    if (before & 1u) {
      ::usleep(100);
      continue;
    }
    out->width = h->width;
    out->height = h->height;
    out->pattern = h->pattern;
    out->triggerCount = h->triggerCount;
    out->left.assign(images, images + bytes);
    out->right.assign(images + bytes, images + 2 * bytes);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&h->sequence, __ATOMIC_RELAXED) == before) {
      out->sequence = before;
      return true;
    }
  }
  return false;
}

}  // namespace sim::head
