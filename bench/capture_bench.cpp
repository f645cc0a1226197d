// Capture through the GigE plug-ins, loaded with dlopen as a host does, from
// the virtual head (`zelsim serve --head cameras`, 1280 x 1024) in a private
// network namespace: time per 13-pattern shot in software trigger (no
// projector waits), and the frame delivery cost on the plug-in's thread
// against a memcpy of the same frame.
//
// Delivery cost: the callback runs on the thread that delivers; the thread's
// CPU time between the end of one callback and the start of the next is
// what that thread spent on the next frame (taking it from the stream,
// checking it, copying it into the host's buffer). Target: <= 2 x memcpy.
// Prints figures only.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/ace/tests/host_fixture.h"
#include "sim/gige/testing/private_netns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1280, kHeight = 1024, kShots = 5, kPatterns = 13;

double threadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Stats {
  std::mutex mutex;
  std::atomic<int> frames[2]{};
  double lastExitCpu[2] = {-1, -1};
  std::vector<double> deliveryUs;
} gStats;

int callback(int camera, std::uint32_t, std::int32_t, std::int32_t, unsigned char*) {
  const double entry = threadCpuUs();
  if (camera < 0 || camera > 1) return 0;
  {
    std::lock_guard<std::mutex> lock(gStats.mutex);
    if (gStats.lastExitCpu[camera] >= 0) gStats.deliveryUs.push_back(entry - gStats.lastExitCpu[camera]);
  }
  gStats.frames[camera].fetch_add(1);
  std::lock_guard<std::mutex> lock(gStats.mutex);
  gStats.lastExitCpu[camera] = threadCpuUs();
  return 0;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// memcpy of one frame, hot (the same two buffers again and again, as a loop
// in cache does) and cold (a frame that another thread wrote last, as a
// received frame is, from a ring of eight into a buffer flushed from cache).
struct CopyCost {
  double hotUs, coldUs;
};
CopyCost memcpyUs() {
  const std::size_t frame = static_cast<std::size_t>(kWidth) * kHeight;
  std::vector<std::vector<unsigned char>> ring(8, std::vector<unsigned char>(frame, 7));
  std::vector<unsigned char> to(frame), flush(32u << 20, 1);
  std::vector<double> hot, cold;
  for (int i = 0; i < 40; ++i) {
    const double t0 = threadCpuUs();
    std::memcpy(to.data(), ring[0].data(), frame);
    hot.push_back(threadCpuUs() - t0);
    ring[0][static_cast<std::size_t>(i)] = to[static_cast<std::size_t>(i) + 1];  // keep the copy live
  }
  for (int i = 0; i < 40; ++i) {
    auto& from = ring[static_cast<std::size_t>(i) % ring.size()];
    std::thread writer([&] { std::memset(from.data(), i, frame); });
    writer.join();
    for (std::size_t k = 0; k < flush.size(); k += 64) flush[k] = static_cast<unsigned char>(flush[k] + 1);
    const double t0 = threadCpuUs();
    std::memcpy(to.data(), from.data(), frame);
    cold.push_back(threadCpuUs() - t0);
  }
  return {median(hot), median(cold)};
}

template <class Cam>
void measure(const char* name, Cam& cam) {
  std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(kWidth * kHeight),
                                           std::vector<unsigned char>(kWidth * kHeight)};
  for (int c = 0; c < 2; ++c) cam.setCallback(c, callback, buffers[c].data());
  if (cam.open(0, 0) != 3 || !cam.setTriggerMode(1)) {
    std::printf("%-8s could not open both cameras\n", name);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(gStats.mutex);
    gStats.deliveryUs.clear();
    gStats.lastExitCpu[0] = gStats.lastExitCpu[1] = -1;
  }
  std::vector<double> shotMs;
  for (int shot = 0; shot < kShots; ++shot) {
    const Clock::time_point start = Clock::now();
    for (int p = 0; p < kPatterns; ++p) {
      const int want[2] = {gStats.frames[0] + 1, gStats.frames[1] + 1};
      cam.capture();
      const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
      while ((gStats.frames[0] < want[0] || gStats.frames[1] < want[1]) && Clock::now() < deadline) ::usleep(200);
    }
    shotMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  cam.close();
  std::vector<double> delivery;
  {
    std::lock_guard<std::mutex> lock(gStats.mutex);
    delivery = gStats.deliveryUs;
  }
  const CopyCost copy = memcpyUs();
  std::printf("%-8s shot (13 patterns, software trigger): median %.1f ms, best %.1f ms\n", name, median(shotMs),
              *std::min_element(shotMs.begin(), shotMs.end()));
  std::printf(
      "%-8s delivery on the plug-in's thread: median %.0f us per frame; memcpy %.0f us cold, %.0f us hot; "
      "ratio %.2f to cold (target <= 2), %.2f to hot\n",
      name, median(delivery), copy.coldUs, copy.hotUs, copy.coldUs > 0 ? median(delivery) / copy.coldUs : 0.0,
      copy.hotUs > 0 ? median(delivery) / copy.hotUs : 0.0);
}

}  // namespace

int main() {
  if (!sim::netns::enterPrivateNetwork()) {
    std::printf("capture_bench: no private network namespace (%s); nothing measured\n",
                sim::netns::skipReason().c_str());
    return 0;
  }
  const std::string log = "/tmp/capture_bench_serve_" + std::to_string(::getpid()) + ".log";
  const std::string cache = "/tmp/zel_plugin_head_cache-" + std::to_string(::getuid());
  acetest::BackgroundProcess serve({ZEL_ZELSIM, "serve", "--scene", "plane", "--head", "cameras", "--supersample", "1",
                                    "--noise", "0", "--cache", cache, "--no-publish"},
                                   log);
  bool ready = false;
  for (int i = 0; i < 2400 && !ready; ++i) {
    ready = acetest::readText(log).find("ready\n") != std::string::npos;
    if (!ready) ::usleep(50'000);
  }
  if (!ready) {
    std::printf("capture_bench: zelsim serve did not come up: %s\n", acetest::readText(log).c_str());
    return 0;
  }
  std::printf("capture_bench: zelsim serve, two cameras of %d x %d Mono8, 1500-byte packets, %d shots each\n", kWidth,
              kHeight, kShots);
  const std::string dir = ZEL_PLUGIN_DIR;
  {
    acetest::LoadedPlugin lib(dir + "/libOrvCamAce.so");
    std::unique_ptr<IZelcam3D> cam(lib.create());
    if (cam) measure("ace", *cam);
  }
  // The eBUS plug-ins look for cameras "1" and "2".
  acetest::runProgram({"arv-tool-0.8", "-a", "127.0.0.2", "control", "DeviceUserID=1"});
  acetest::runProgram({"arv-tool-0.8", "-a", "127.0.0.3", "control", "DeviceUserID=2"});
  {
    acetest::LoadedPlugin lib(dir + "/libOrvCameBUS.so");
    std::unique_ptr<IZelcam3D> cam(lib.create());
    if (cam) measure("ebus", *cam);
  }
  acetest::LoadedPlugin lib(dir + "/libOrvCamStGigE.so");
  std::unique_ptr<IZelcam3DRev23> cam(lib.create23());
  if (cam) measure("stgige", *cam);
  std::remove(log.c_str());
  return 0;
}
