// A camera plug-in for the Python tests, written against the public header
// only: two 64 x 48 cameras whose frames are a known function of the pattern
// the projector shows, delivered from the plug-in's own thread as a real
// back-end does. ZELFAKE_FAULT picks a misbehaviour: "drop2" (camera-2 sends
// nothing), "big2" (camera-2 sends 72 x 48 frames), "twice1" (camera-1 sends
// every frame twice), "only1" (only camera-1 opens).
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "zelcam3d.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// Grey value of pixel (x, y) of camera c at pattern p: what the tests expect.
unsigned char pixelValue(int pattern, int camera, int x, int y) {
  return static_cast<unsigned char>((pattern * 19 + camera * 101 + x + 3 * y) & 0xFF);
}

class FakeCam final : public IZelcam3D {
 public:
  FakeCam() : worker_([this] { run(); }) {}
  ~FakeCam() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }
  void setLog(unsigned, const char*) override {}
  unsigned open(int, int) override {
    open_ = true;
    const char* f = std::getenv("ZELFAKE_FAULT");
    return f && std::string(f) == "only1" ? 1 : 3;
  }
  void close() override { open_ = false; }
  ZelcamImageSize getImageSize() override { return open_ ? ZelcamImageSize{kWidth, kHeight} : ZelcamImageSize{0, 0}; }
  bool capture() override {
    if (!open_) return false;
    {
      std::lock_guard<std::mutex> lock(m_);
      jobs_.push_back(pattern_);
    }
    cv_.notify_all();
    return true;
  }
  bool projectorCommandP(int n) override {
    if (!projector_) return false;
    pattern_ = n;
    return true;
  }
  int getExposure(int camera) override { return camera == 0 || camera == 1 ? exposure_[camera] : -1; }
  int getGain(int camera) override { return camera == 0 || camera == 1 ? gain_[camera] : -1; }
  int getAnalogGain(int) override { return 0; }
  bool setExposure(int camera, int value) override {
    if (camera != 0 && camera != 1) return false;
    exposure_[camera] = value;
    return true;
  }
  bool setGain(int camera, int value) override {
    if (camera != 0 && camera != 1) return false;
    gain_[camera] = value;
    return true;
  }
  bool setAnalogGain(int, int) override { return true; }
  int getTriggerMode() override { return trigger_; }
  bool setTriggerMode(int mode) override {
    if (mode != 0 && mode != 1) return false;
    trigger_ = mode;
    return true;
  }
  int setCallback(int camera, ZelcamFrameCallback cb, unsigned char* buffer) override {
    if (camera != 0 && camera != 1) return -1;
    std::lock_guard<std::mutex> lock(m_);
    cb_[camera] = cb;
    buf_[camera] = buffer;
    return camera;
  }
  bool openProjector(unsigned) override {
    projector_ = true;
    return true;
  }
  void closeProjector() override { projector_ = false; }
  bool projectorCommandR() override { return projector_; }
  int projectorDiag() override { return projector_ ? 0 : -1; }
  bool projectorSetLight(unsigned) override { return projector_; }
  bool projectorCommandZ(int) override { return projector_; }
  bool projectorCommandX(int) override { return projector_; }
  void resetFrameCount() override { count_[0] = count_[1] = 0; }
  std::uint32_t getFrameCount(int camera) override { return camera == 0 || camera == 1 ? count_[camera] : 0; }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      const int pattern = jobs_.front();
      jobs_.pop_front();
      const char* f = std::getenv("ZELFAKE_FAULT");
      const std::string fault = f ? f : "";
      for (int c = 0; c < 2; ++c) {
        if (!cb_[c] || !buf_[c]) continue;
        if (c == 1 && fault == "drop2") continue;
        const int w = c == 1 && fault == "big2" ? kWidth + 8 : kWidth;
        for (int y = 0; y < kHeight; ++y)
          for (int x = 0; x < w; ++x) buf_[c][y * w + x] = pixelValue(pattern, c, x, y);
        const int times = c == 0 && fault == "twice1" ? 2 : 1;
        for (int t = 0; t < times; ++t) cb_[c](c, count_[c]++, w, kHeight, buf_[c]);
      }
    }
  }

  bool open_ = false, projector_ = false;
  int pattern_ = 0, trigger_ = -1;
  int exposure_[2] = {1000, 1000}, gain_[2] = {0, 0};
  std::uint32_t count_[2] = {0, 0};
  ZelcamFrameCallback cb_[2] = {nullptr, nullptr};
  unsigned char* buf_[2] = {nullptr, nullptr};
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<int> jobs_;
  bool stop_ = false;
  std::thread worker_;  // last: started after every other member exists
};

}  // namespace

extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance() { return new FakeCam; }
