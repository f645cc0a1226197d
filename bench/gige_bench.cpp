// GigE Vision throughput of the live head: both cameras (1280 x 1024 Mono8)
// free-running as fast as the link takes them, Aravis receiving both streams
// in the same process, for 1500- and 8192-byte packets. Prints per camera the
// frames per second, MB/s (10^6 bytes of image per second), frames lost or
// incomplete, packets Aravis had resent or never got, and the server's CPU
// time per frame (the frame thread: exposure model plus GVSP sending).
// Runs inside a private network namespace; prints the reason and exits 0
// where none can be made.
#include <arv.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "sim/gige/testing/private_netns.h"
#include "sim/head/live_head.h"
#include "sim/projector/virtual_projector.h"

namespace {

struct Receiver {
  ArvCamera* camera = nullptr;
  ArvStream* stream = nullptr;
  guint64 frames = 0, bad = 0;
};

bool open(Receiver& r, const char* name, int packetSize, std::string& error) {
  GError* e = nullptr;
  r.camera = arv_camera_new(name, &e);
  if (r.camera) arv_camera_gv_set_packet_size(r.camera, packetSize, &e);
  if (!e && r.camera) arv_device_set_integer_feature_value(arv_camera_get_device(r.camera), "GevSCPD", 0, &e);
  if (!e && r.camera) arv_camera_clear_triggers(r.camera, &e);  // free-running
  if (!e && r.camera) r.stream = arv_camera_create_stream(r.camera, nullptr, nullptr, &e);
  if (e || !r.stream) {
    error = e ? e->message : "no stream";
    if (e) g_error_free(e);
    return false;
  }
  g_object_set(r.stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 16 << 20, nullptr);
  gint payload = arv_camera_get_payload(r.camera, nullptr);
  for (int i = 0; i < 16; ++i) arv_stream_push_buffer(r.stream, arv_buffer_new(static_cast<size_t>(payload), nullptr));
  return true;
}

void close(Receiver& r) {
  if (r.camera) arv_camera_stop_acquisition(r.camera, nullptr);
  if (r.stream) g_object_unref(r.stream);
  if (r.camera) g_object_unref(r.camera);
  r = Receiver{};
}

}  // namespace

int main() {
  if (!sim::netns::enterPrivateNetwork()) {
    std::printf("gige_bench: skipped, no private network namespace: %s\n", sim::netns::skipReason().c_str());
    return 0;
  }
  sim::head::SceneImageOptions o;
  o.sceneName = "demo";
  o.supersample = 1;
  sim::head::SceneImages images;
  std::string error;
  bool cached = false;
  if (!sim::head::loadSceneImages(o, images, &error, &cached)) {
    std::fprintf(stderr, "gige_bench: %s\n", error.c_str());
    return 1;
  }
  sim::VirtualProjector projector;
  sim::ProjectorOptions po;
  po.tcpPort = 0;
  if (!projector.start(po, &error)) {
    std::fprintf(stderr, "gige_bench: projector: %s\n", error.c_str());
    return 1;
  }
  projector.state().showPattern(9);
  sim::head::LiveHead head(images, projector.state());
  sim::head::LiveHeadOptions ho;
  ho.freeRunFps = 0;
  if (!head.start(ho, &error)) {
    std::fprintf(stderr, "gige_bench: %s\n", error.c_str());
    return 1;
  }
  arv_update_device_list();
  const double seconds = 3.0;
  const double frameMB = images.frameBytes() / 1e6;
  std::printf("gige_bench: two cameras %dx%d Mono8, free-running, Aravis receiving, %.0f s per run (images %s)\n",
              images.width, images.height, seconds, cached ? "from the cache" : "rendered");
  std::printf("%-7s %-6s %8s %8s %6s %9s %9s %12s\n", "packet", "camera", "frames/s", "MB/s", "lost", "resent",
              "missing", "server ms/fr");
  for (int packet : {1500, 8192}) {
    Receiver r[2];
    bool ok = true;
    for (int c = 0; c < 2 && ok; ++c) ok = open(r[c], c == 0 ? "11" : "12", packet, error);
    if (!ok) {
      std::fprintf(stderr, "gige_bench: %s\n", error.c_str());
      for (auto& x : r) close(x);
      continue;
    }
    uint64_t cpu0[2], made0[2];
    for (int c = 0; c < 2; ++c) {
      cpu0[c] = head.frameCpuNs(c);
      made0[c] = head.framesMade(c);
    }
    for (auto& x : r) arv_camera_start_acquisition(x.camera, nullptr);
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      for (auto& x : r) {
        ArvBuffer* b = arv_stream_try_pop_buffer(x.stream);
        while (b) {
          (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS ? x.frames : x.bad)++;
          arv_stream_push_buffer(x.stream, b);
          b = arv_stream_try_pop_buffer(x.stream);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& x : r) arv_camera_stop_acquisition(x.camera, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int c = 0; c < 2; ++c) {
      guint64 completed = 0, failures = 0, underruns = 0, resent = 0, missing = 0;
      arv_stream_get_statistics(r[c].stream, &completed, &failures, &underruns);
      arv_gv_stream_get_statistics(ARV_GV_STREAM(r[c].stream), &resent, &missing);
      uint64_t made = head.framesMade(c) - made0[c];
      double cpuMs = made ? (head.frameCpuNs(c) - cpu0[c]) / 1e6 / made : 0;
      std::printf("%-7d %-6d %8.1f %8.1f %6llu %9llu %9llu %12.2f\n", packet, c, r[c].frames / elapsed,
                  r[c].frames * frameMB / elapsed, static_cast<unsigned long long>(failures + underruns),
                  static_cast<unsigned long long>(resent), static_cast<unsigned long long>(missing), cpuMs);
    }
    for (auto& x : r) close(x);
  }
  head.stop();
  projector.stop();
  arv_shutdown();
  std::printf("target: >= 125 MB/s per camera at 1500-byte packets with no loss\n");
  return 0;
}
