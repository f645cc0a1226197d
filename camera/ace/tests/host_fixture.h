#pragma once
// What the plug-in host tests share: a plug-in loaded through its factory
// with dlopen (as any host does, compiled against include/ only), frames
// collected from the callbacks, and peer programs run in the test's private
// network namespace.
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zelcam3d.h"

namespace acetest {

// A program running in the background until destroyed (SIGTERM, then reaped).
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& args, const std::string& logPath = "");
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool running() const { return pid_ > 0; }
  void stop();
  // Waits for the program to end by itself; its exit status, or -1 (and it
  // is stopped) when it has not ended within timeoutMs.
  int wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
};

// Runs a program to its end; its exit status (-1 when it could not run), its
// standard output and error in *output.
int runProgram(const std::vector<std::string>& args, std::string* output = nullptr);

// libOrvCamAce.so (or another plug-in) opened with dlopen.
class LoadedPlugin {
 public:
  explicit LoadedPlugin(const std::string& path);
  ~LoadedPlugin();
  // A new instance from the factory; null when the library or the factory is missing.
  IZelcam3D* create();
  // The same for a plug-in of the 23-slot revision.
  IZelcam3DRev23* create23();
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// Frames the callbacks received, kept per camera in arrival order.
struct ReceivedFrame {
  std::uint32_t index;
  std::int32_t width, height;
  std::vector<std::uint8_t> pixels;
};

class FrameSink {
 public:
  static FrameSink& instance();
  // Registers both cameras' callbacks with buffers of width x height bytes.
  template <class Cam>
  void attach(Cam& cam, int width, int height) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 2; ++i) {
      buffers_[i].assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
      frames_[i].clear();
      cam.setCallback(i, &FrameSink::callback, buffers_[i].data());
    }
  }
  void clear();
  // Waits until camera has at least n frames; false on time-out.
  bool waitFor(int camera, std::size_t n, int timeoutMs);
  std::vector<ReceivedFrame> frames(int camera);

 private:
  static int callback(int camera, std::uint32_t frameIndex, std::int32_t width, std::int32_t height,
                      unsigned char* buffer);
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<ReceivedFrame> frames_[2];
  std::vector<std::uint8_t> buffers_[2];
};

// The whole text of a file ("" when missing).
std::string readText(const std::string& path);

// Waits up to timeoutMs for the log of a `zelsim serve` to say "ready";
// false when it did not.
bool waitForReady(const std::string& logPath, int timeoutMs);

}  // namespace acetest
