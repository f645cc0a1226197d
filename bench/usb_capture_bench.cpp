// Capture rate of the USB plug-ins on their simulated cameras: a published
// 1280 x 1024 head, 0.1 ms exposure, both cameras. Software trigger: time
// from capture to both frames in the host's buffers. Hardware trigger: time
// from the head's pulse to both frames. Prints figures; never fails on time.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/test_head.h"
#include "zelcam3d.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1280, kHeight = 1024, kRounds = 40;

struct Figures {
  double meanMs = 0, maxMs = 0;
  int lost = 0;
};

template <class Interface, class Trigger>
Figures measure(Interface& cam, Trigger trigger, bool countFromZero) {
  Figures f;
  zeltest::HostFrames& frames = zeltest::HostFrames::instance();
  frames.clear();
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    trigger(i);
    std::vector<zeltest::Frame> got = frames.take(2, 2000);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (got.size() != 2 || (countFromZero && got[0].index != 0)) ++f.lost;
    f.meanMs += ms / kRounds;
    f.maxMs = std::max(f.maxMs, ms);
  }
  (void)cam;
  return f;
}

template <class Interface>
void bench(const char* name, const char* path, zeltest::TestHead& head, int exposure) {
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::printf("%s: cannot load: %s\n", name, ::dlerror());
    return;
  }
  using Create = Interface* (*)();
  auto create = reinterpret_cast<Create>(::dlsym(library, "CreateIZelcam3DInstance"));
  Interface* cam = create ? create() : nullptr;
  if (!cam) return;
  std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(kWidth * kHeight),
                                           std::vector<unsigned char>(kWidth * kHeight)};
  cam->setCallback(0, zeltest::HostFrames::callback, buffers[0].data());
  cam->setCallback(1, zeltest::HostFrames::callback, buffers[1].data());
  if (cam->open(0, 0) != 3u) {
    std::printf("%s: open failed\n", name);
    delete cam;
    return;
  }
  cam->setExposure(0, exposure);
  cam->setExposure(1, exposure);
  cam->setTriggerMode(1);
  Figures soft = measure(
      *cam,
      [&](int i) {
        head.show(i % 13, false);
        cam->capture();
      },
      true);
  cam->setTriggerMode(0);
  Figures hard = measure(
      *cam, [&](int i) { head.show(i % 13); }, false);
  std::printf("%-6s %dx%d, exposure %d us, %d rounds of two frames\n", name, kWidth, kHeight, exposure, kRounds);
  std::printf("  software trigger: capture to both frames %.2f ms mean, %.2f ms max, %d lost\n", soft.meanMs,
              soft.maxMs, soft.lost);
  std::printf("  hardware trigger: pulse to both frames   %.2f ms mean, %.2f ms max, %d lost\n", hard.meanMs,
              hard.maxMs, hard.lost);
  std::printf("  host buffers filled at %.0f MB/s (software trigger, both cameras)\n",
              2.0 * kWidth * kHeight / (soft.meanMs * 1000.0));
  delete cam;
}

}  // namespace

int main() {
  const std::string name = "zelcam_usb_bench_" + std::to_string(::getpid());
  ::setenv("ZELCAM_SIM_HEAD", name.c_str(), 1);
  zeltest::TestHead head(name, kWidth, kHeight);
  if (!head.ok()) {
    std::printf("cannot publish the head\n");
    return 1;
  }
  bench<IZelcam3DRev23>("stcsb", ZEL_STCSB_LIBRARY, head, 100);
  bench<IZelcam3D>("ueye", ZEL_UEYE_LIBRARY, head, 100);
  return 0;
}
