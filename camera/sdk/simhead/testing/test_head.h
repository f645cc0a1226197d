#pragma once
// For host tests of the USB camera plug-ins: a virtual head published in the
// layout the simulated cameras read (camera/sdk/simhead/head_images.h), with
// 13 known images per camera. show(p) puts pattern p up and counts one
// hardware-trigger pulse, as the projector of `zelsim serve` does.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zeltest {

class TestHead {
 public:
  static constexpr int kPatterns = 13;

  TestHead(std::string name, int width, int height) : name_("/" + std::move(name)), width_(width), height_(height) {
    const std::size_t image = frameBytes();
    size_ = 64 + 2 * image;
    fd_ = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) return;
    void* map = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) return;
    map_ = static_cast<std::uint8_t*>(map);
    // Images nobody could mistake for another: a hash of camera, pattern, pixel.
    for (int c = 0; c < 2; ++c) {
      images_[c].resize(image * kPatterns);
      for (std::size_t i = 0; i < images_[c].size(); ++i) {
        std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u + static_cast<std::uint32_t>(c) * 40503u;
        x ^= x >> 15;
        images_[c][i] = static_cast<std::uint8_t>(x);
      }
    }
    const char magic[8] = {'Z', 'E', 'L', 'H', 'E', 'A', 'D', '1'};
    std::memcpy(map_, magic, 8);
    put<std::uint32_t>(8, 64);
    put<std::int32_t>(16, width);
    put<std::int32_t>(20, height);
    put<std::uint64_t>(40, image);
    show(1, false);
  }
  ~TestHead() {
    if (map_) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
    ::shm_unlink(name_.c_str());
  }
  TestHead(const TestHead&) = delete;
  TestHead& operator=(const TestHead&) = delete;

  bool ok() const { return map_ != nullptr; }
  std::size_t frameBytes() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }
  const std::uint8_t* image(int camera, int pattern) const {
    return images_[camera].data() + frameBytes() * static_cast<std::size_t>(pattern);
  }

  // Shows a pattern; pulse: the hardware trigger fires (the counter moves).
  void show(int pattern, bool pulse = true) {
    std::uint32_t seq = get<std::uint32_t>(12);
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(map_ + 12), seq + 1, __ATOMIC_RELEASE);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    put<std::int32_t>(24, pattern);
    if (pulse) put<std::uint64_t>(32, ++pulses_);
    std::memcpy(map_ + 64, image(0, pattern), frameBytes());
    std::memcpy(map_ + 64 + frameBytes(), image(1, pattern), frameBytes());
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(map_ + 12), seq + 2, __ATOMIC_RELEASE);
  }

 private:
  template <class T>
  void put(std::size_t offset, T v) {
    std::memcpy(map_ + offset, &v, sizeof v);
  }
  template <class T>
  T get(std::size_t offset) const {
    T v;
    std::memcpy(&v, map_ + offset, sizeof v);
    return v;
  }

  std::string name_;
  int width_, height_;
  std::size_t size_ = 0;
  int fd_ = -1;
  std::uint8_t* map_ = nullptr;
  std::uint64_t pulses_ = 0;
  std::vector<std::uint8_t> images_[2];
};

}  // namespace zeltest
