// Frame delivery cost against a bare copy of the same frame: the path should
// be one copy and no allocation, so the ratio stays near 1. Prints figures only.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "camera/common/plugin.h"
#include "camera/common/zelcam3d_frame.h"

namespace {

int sink(int, std::uint32_t, std::int32_t, std::int32_t, unsigned char*) { return 0; }

class BenchCamBackend : public camera::Zelcam3DFrame25 {
 public:
  BenchCamBackend() : Zelcam3DFrame25(config()) {}
  static Config config() {
    Config c;
    c.triggerThreads = false;
    return c;
  }
  int getExposure(int) override { return 0; }
  int getGain(int) override { return 0; }
  bool setExposure(int, int) override { return true; }
  bool setGain(int, int) override { return true; }
  bool setTriggerMode(int) override { return true; }
  bool deliver(const std::vector<unsigned char>& f) { return deliverFrame(0, f.data(), f.size()); }

 protected:
  bool openCamera(camera::CameraRecord& cam, int, int) override {
    cam.width = 2048;
    cam.height = 1536;
    return true;
  }
  bool closeCamera(camera::CameraRecord&) override { return true; }
};
using BenchCam = camera::Plugin<BenchCamBackend>;

double secondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  const int frames = 200;
  BenchCam cam;
  std::vector<unsigned char> host(2048 * 1536);
  std::vector<unsigned char> frame(host.size(), 7);
  cam.setCallback(0, sink, host.data());
  cam.open(0, 0);

  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i) {
    frame[0] = static_cast<unsigned char>(i);
    std::memcpy(host.data(), frame.data(), frame.size());
  }
  double copy = secondsOf(std::chrono::steady_clock::now() - t0);
  t0 = std::chrono::steady_clock::now();
  int delivered = 0;
  for (int i = 0; i < frames; ++i) {
    frame[0] = static_cast<unsigned char>(i);
    delivered += cam.deliver(frame) ? 1 : 0;
  }
  double deliver = secondsOf(std::chrono::steady_clock::now() - t0);
  std::printf("frame delivery 2048x1536: %d frames, memcpy %.3f ms/frame, deliverFrame %.3f ms/frame, ratio %.2f\n",
              delivered, copy * 1000 / frames, deliver * 1000 / frames, deliver / copy);
  return 0;
}
