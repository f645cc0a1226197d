// GigE Vision throughput of the live head: both cameras (1280 x 1024 Mono8)
// free-running, Aravis receiving both streams in the same process, for 1500-
// and 8192-byte packets, in three runs each: paced at 1 Gbit/s line rate
// (GevSCPD = one packet's time at 125 MB/s in 125 MHz ticks, i.e. the packet
// size); 100 frames/s per camera unpaced (131 MB/s asked of each camera);
// unpaced and unlimited (as fast as the machine goes). Prints per camera the
// frames per second, MB/s (10^6 bytes of image per second), frames that
// arrived incomplete, frames dropped by the client for want of a buffer,
// packets Aravis had resent and never got, and the server's CPU time per
// frame (the frame thread: exposure model plus GVSP sending).
// Runs inside a private network namespace; prints the reason and exits 0
// where none can be made.
#include <arv.h>

#include <atomic>
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
  std::atomic<guint64> frames{0}, bad{0};
  std::atomic<bool> stop{false};
  std::thread thread;
};

bool open(Receiver& r, const char* name, int packetSize, int scpd, std::string& error) {
  GError* e = nullptr;
  r.camera = arv_camera_new(name, &e);
  if (r.camera) arv_camera_set_range_check_policy(r.camera, ARV_RANGE_CHECK_POLICY_ENABLE);
  if (r.camera) arv_camera_gv_set_packet_size(r.camera, packetSize, &e);
  if (!e && r.camera) arv_device_set_integer_feature_value(arv_camera_get_device(r.camera), "GevSCPD", scpd, &e);
  if (!e && r.camera) arv_camera_clear_triggers(r.camera, &e);  // free-running
  if (!e && r.camera) r.stream = arv_camera_create_stream(r.camera, nullptr, nullptr, &e);
  if (e || !r.stream) {
    error = e ? e->message : "no stream";
    if (e) g_error_free(e);
    return false;
  }
  g_object_set(r.stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 16 << 20, nullptr);
  gint payload = arv_camera_get_payload(r.camera, nullptr);
  for (int i = 0; i < 32; ++i) arv_stream_push_buffer(r.stream, arv_buffer_new(static_cast<size_t>(payload), nullptr));
  return true;
}

void receive(Receiver& r) {
  while (!r.stop) {
    ArvBuffer* b = arv_stream_timeout_pop_buffer(r.stream, 100000);
    if (!b) continue;
    (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS ? r.frames : r.bad)++;
    arv_stream_push_buffer(r.stream, b);
  }
}

void close(Receiver& r) {
  r.stop = true;
  if (r.thread.joinable()) r.thread.join();
  if (r.camera) arv_camera_stop_acquisition(r.camera, nullptr);
  if (r.stream) g_object_unref(r.stream);
  if (r.camera) g_object_unref(r.camera);
  r.camera = nullptr;
  r.stream = nullptr;
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
  const double seconds = 2.0;
  const double frameMB = images.frameBytes() / 1e6;
  std::printf("gige_bench: two cameras %dx%d Mono8, free-running, Aravis receiving, %.0f s per run (images %s)\n",
              images.width, images.height, seconds, cached ? "from the cache" : "rendered");
  std::printf("%-7s %-12s %-6s %8s %8s %10s %9s %7s %8s %12s\n", "packet", "run", "camera", "frames/s", "MB/s",
              "incomplete", "underruns", "resent", "missing", "server ms/fr");
  struct Run {
    const char* name;
    bool paced;
    double fps;
  };
  for (const Run& run : {Run{"1 Gb/s", true, 0}, Run{"100 fps", false, 100}, Run{"unlimited", false, 0}}) {
    sim::head::LiveHeadOptions ho;
    ho.freeRunFps = run.fps;
    if (!head.start(ho, &error)) {
      std::fprintf(stderr, "gige_bench: %s\n", error.c_str());
      return 1;
    }
    arv_update_device_list();
    for (int packet : {1500, 8192}) {
      Receiver r[2];
      bool ok = true;
      const int scpd = run.paced ? packet : 0;  // ticks of 8 ns: one packet at 125 MB/s
      for (int c = 0; c < 2 && ok; ++c) ok = open(r[c], c == 0 ? "11" : "12", packet, scpd, error);
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
      for (auto& x : r) x.thread = std::thread(receive, std::ref(x));
      for (auto& x : r) arv_camera_start_acquisition(x.camera, nullptr);
      auto start = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      guint64 frames[2] = {r[0].frames, r[1].frames};
      for (auto& x : r) arv_camera_stop_acquisition(x.camera, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      for (int c = 0; c < 2; ++c) {
        guint64 completed = 0, failures = 0, underruns = 0, resent = 0, missing = 0;
        arv_stream_get_statistics(r[c].stream, &completed, &failures, &underruns);
        arv_gv_stream_get_statistics(ARV_GV_STREAM(r[c].stream), &resent, &missing);
        uint64_t made = head.framesMade(c) - made0[c];
        double cpuMs = made ? (head.frameCpuNs(c) - cpu0[c]) / 1e6 / made : 0;
        std::printf("%-7d %-12s %-6d %8.1f %8.1f %10llu %9llu %7llu %8llu %12.2f\n", packet, run.name, c,
                    frames[c] / elapsed, frames[c] * frameMB / elapsed, static_cast<unsigned long long>(failures),
                    static_cast<unsigned long long>(underruns), static_cast<unsigned long long>(resent),
                    static_cast<unsigned long long>(missing), cpuMs);
      }
      for (auto& x : r) close(x);
    }
  }
  head.stop();
  projector.stop();
  arv_shutdown();
  std::printf("target: >= 125 MB/s per camera at 1500-byte packets, nothing incomplete or missing\n");
  return 0;
}
