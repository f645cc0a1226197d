#pragma once
// For host tests of camera plug-ins: one process-wide receiver of frame
// callbacks (the callback carries no user pointer), and the log file read back.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {

struct Frame {
  int camera = -1;
  std::uint32_t index = 0;
  std::int32_t width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};

class HostFrames {
 public:
  static HostFrames& instance() {
    static HostFrames frames;
    return frames;
  }
  // The callback to register; copies each frame out of the host buffer.
  static int callback(int camera, std::uint32_t index, std::int32_t width, std::int32_t height, unsigned char* buffer) {
    HostFrames& self = instance();
    Frame f;
    f.camera = camera;
    f.index = index;
    f.width = width;
    f.height = height;
    f.pixels.assign(buffer, buffer + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.frames_.push_back(std::move(f));
    }
    self.cv_.notify_all();
    return 0;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
  }
  // Waits until count frames arrived; returns them all (fewer on time-out).
  std::vector<Frame> wait(std::size_t count, int timeoutMs = 3000) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
    return frames_;
  }
  std::vector<Frame> take(std::size_t count, int timeoutMs = 3000) {
    std::vector<Frame> got = wait(count, timeoutMs);
    clear();
    return got;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Frame> frames_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// Waits until the file holds what (at least count times).
inline bool waitForText(const std::string& path, const std::string& what, std::size_t count = 1, int timeoutMs = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (countOf(readFile(path), what) < count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace zeltest

namespace zeltest {

// Run in a fresh process (a death test in the "threadsafe" style re-executes
// the test binary): the plug-in at pluginPath, with its layer taken from
// envVar, first missing, then lacking ordinals, must open no camera and say
// why. Exits 0 when it behaves, 1 otherwise.
template <class Interface>
[[noreturn]] void openWithBrokenLayer(const char* pluginPath, const char* envVar, const char* partialLayer,
                                      const std::string& missingLine) {
  const std::string log = ::testing::TempDir() + "broken_layer_" + std::to_string(::getpid()) + ".log";
  ::setenv(envVar, "/nonexistent/libzel_layer.so", 1);
  void* library = ::dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
  if (!library) std::_Exit(1);
  using Create = Interface* (*)();
  auto create = reinterpret_cast<Create>(::dlsym(library, "CreateIZelcam3DInstance"));
  Interface* cam = create ? create() : nullptr;
  if (!cam) std::_Exit(1);
  cam->setLog(1, log.c_str());
  bool good = cam->open(0, 0) == 0u;
  good = good && readFile(log).find("cannot load /nonexistent/libzel_layer.so") != std::string::npos;
  ::setenv(envVar, partialLayer, 1);
  good = good && cam->open(0, 0) == 0u;
  good = good && readFile(log).find(missingLine + partialLayer + "\n") != std::string::npos;
  delete cam;
  if (good) ::unlink(log.c_str());  // kept when it shows why the test failed
  std::_Exit(good ? 0 : 1);
}

}  // namespace zeltest
