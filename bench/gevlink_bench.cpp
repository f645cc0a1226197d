// Gevlink's GVSP receive paths (packet ring, recvmmsg) against Aravis's on
// the same virtual device in one run: frames per second, MB/s and CPU per
// frame (receive thread, receiver, process) for a 1280 x 1024 Mono8 stream
// in 1500-byte packets, without loss and with 1 % loss (recovered by
// resend), with ratios to Aravis; and our recvmmsg path against Aravis with
// CAP_NET_RAW off (its socket path). Runs in a private network namespace; the
// device is sim/gige's, sending as fast as loopback takes it.
#include <arv.h>
#include <dirent.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gevlink.h"
#include "gevlink/gev_transport.h"
#include "gevlink/library.h"
#include "gevlink/packet_ring.h"
#include "gevlink/tests/fake_device.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"
#include "sim/gige/testing/private_netns.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024, kPayload = kWidth * kHeight;
constexpr int kFrames = 200;
constexpr uint32_t kLoopback = 0x0100007F, kDeviceAddress = 0x0200007F;

class Features : public sim::gige::RegisterSpace {
 public:
  uint16_t readRegister(uint32_t address, uint32_t& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = regs_.find(address);
    if (it == regs_.end()) return gevlink::wire::GEV_STATUS_INVALID_ADDRESS;
    value = it->second;
    return 0;
  }
  uint16_t writeRegister(uint32_t address, uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!regs_.count(address)) return gevlink::wire::GEV_STATUS_INVALID_ADDRESS;
    regs_[address] = value;
    return 0;
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, uint32_t> regs_{{0x10000, kWidth}, {0x10004, kHeight}, {0x10008, kPayload}, {0x1000C, 0}};
};

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds of this process's threads named `name` (the receive threads:
// "gevlink-gvsp" for ours, "arv_gv_stream" for Aravis's), through each
// thread's CPU clock (the clock id glibc's pthread_getcpuclockid makes).
double namedThreadsCpuSeconds(const char* name) {
  double total = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::string comm;
    std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
    if (comm != name) continue;
    const auto tid = static_cast<unsigned>(std::atoi(e->d_name));
    const auto clock = static_cast<clockid_t>((~tid << 3) | 6);  // per-thread, scheduler time
    timespec t{};
    if (clock_gettime(clock, &t) == 0) total += double(t.tv_sec) + double(t.tv_nsec) / 1e9;
  }
  closedir(tasks);
  return total;
}

struct Result {
  int complete = 0;
  double seconds = 0, threadCpu = 0, receiverCpu = 0, processCpu = 0;
};

// Sends kFrames frames from a thread; returns the sender's own CPU time.
std::thread sender(sim::gige::Device& device, const std::vector<uint8_t>& image, std::atomic<double>& cpu,
                   std::atomic<bool>& go) {
  return std::thread([&] {
    while (!go.load()) std::this_thread::yield();
    double start = threadCpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
      device.sendFrame(image.data(), kWidth, kHeight, gevlink::wire::kPixelMono8);
      // A frame time of 1 Gbit/s line rate (10.5 ms) between frames: the
      // sender does not outrun the receivers' 16 buffers on loopback.
      std::this_thread::sleep_for(std::chrono::microseconds(10500 - 8000));
    }
    cpu = threadCpuSeconds() - start;
  });
}

Result runGevlink(sim::gige::Device& device, const std::vector<uint8_t>& image) {
  Result r;
  uint64_t handle = 0;
  gevlink::INodeMap* map = nullptr;
  GDevErrInfo err{};
  if (GDevOpen(&kLoopback, &kDeviceAddress, &handle, &map, &err) != 0) {
    std::printf("GDevOpen failed: 0x%08X\n", err.code);
    return r;
  }
  uint32_t key = 0, count = 0;
  GDevEnumStream(handle, &key, 1, &count, &err);
  GDevRegPair size{0x0D04, 1500};
  uint32_t written = 0;
  GDevDirectRegWrite(handle, &size, 1, &written, &err);
  std::vector<std::vector<uint8_t>> buffers(16, std::vector<uint8_t>(GDEV_FRAME_DATA_OFFSET + kPayload));
  for (auto& b : buffers) GDevQueBuffer(handle, key, b.data(), uint32_t(b.size()), &err);
  GDevStartStream(handle, key, &err);
  std::atomic<double> senderCpu{0};
  std::atomic<bool> go{false};
  std::thread send = sender(device, image, senderCpu, go);
  double cpu0 = cpuSeconds(), thread0 = namedThreadsCpuSeconds("gevlink-gvsp");
  auto t0 = std::chrono::steady_clock::now();
  go = true;
  for (int i = 0; i < kFrames; ++i) {
    uint32_t channel = 0, extra = 0;
    void* buffer = nullptr;
    uint32_t status = GDevWaitStreamEx(handle, &key, 1, 2000, &channel, &buffer, &extra, &err);
    if (status == 1208 && err.code == GDEV_ERR_WAIT_TIMEOUT) break;
    if (status == 0 && buffer &&
        std::memcmp(static_cast<uint8_t*>(buffer) + GDEV_FRAME_DATA_OFFSET, image.data(), kPayload) == 0)
      ++r.complete;
    else if (getenv("GEVLINK_BENCH_DEBUG")) {
      GDevFrameInfo fi{};
      if (buffer) std::memcpy(&fi, buffer, sizeof fi);
      std::printf("frame %d status %u code %u info %u block %u kind %u missing %u resent %u expected %u\n", i, status,
                  err.code, err.info, fi.blockId, fi.kind, fi.packetsMissing, fi.packetsResent, fi.packetsExpected);
    }
    if (buffer) GDevBuffUnlock(handle, key, buffer, &err);
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  send.join();
  r.processCpu = cpuSeconds() - cpu0;
  r.receiverCpu = r.processCpu - senderCpu.load();
  r.threadCpu = namedThreadsCpuSeconds("gevlink-gvsp") - thread0;
  GDevClose(handle, &err);
  return r;
}

Result runAravis(sim::gige::Device& device, const std::vector<uint8_t>& image) {
  Result r;
  GError* error = nullptr;
  arv_update_device_list();
  ArvDevice* arv = arv_open_device("127.0.0.2", &error);
  if (!arv) {
    std::printf("Aravis cannot open the device: %s\n", error ? error->message : "?");
    if (error) g_error_free(error);
    return r;
  }
  arv_device_set_integer_feature_value(arv, "GevSCPSPacketSize", 1500, nullptr);
  ArvStream* stream = arv_device_create_stream(arv, nullptr, nullptr, &error);
  if (!stream) {
    std::printf("Aravis cannot create a stream: %s\n", error ? error->message : "?");
    if (error) g_error_free(error);
    g_object_unref(arv);
    return r;
  }
  g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 8 << 20, nullptr);
  for (int i = 0; i < 16; ++i) arv_stream_push_buffer(stream, arv_buffer_new(kPayload, nullptr));
  std::atomic<double> senderCpu{0};
  std::atomic<bool> go{false};
  std::thread send = sender(device, image, senderCpu, go);
  double cpu0 = cpuSeconds(), thread0 = namedThreadsCpuSeconds("arv_gv_stream");
  auto t0 = std::chrono::steady_clock::now();
  go = true;
  for (int i = 0; i < kFrames; ++i) {
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 2000000);
    if (!buffer) break;
    size_t size = 0;
    const void* data = arv_buffer_get_data(buffer, &size);
    if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS && size == kPayload &&
        std::memcmp(data, image.data(), kPayload) == 0)
      ++r.complete;
    arv_stream_push_buffer(stream, buffer);
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  send.join();
  r.processCpu = cpuSeconds() - cpu0;
  r.receiverCpu = r.processCpu - senderCpu.load();
  r.threadCpu = namedThreadsCpuSeconds("arv_gv_stream") - thread0;
  g_object_unref(stream);
  g_object_unref(arv);
  return r;
}

// Turns CAP_NET_RAW on or off in this thread's effective set (threads made
// later inherit it): off, no packet socket opens.
bool allowPacketSockets(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  if (on)
    data[0].effective |= 1u << CAP_NET_RAW;
  else
    data[0].effective &= ~(1u << CAP_NET_RAW);
  return syscall(SYS_capset, &header, data) == 0;
}

// CPU per complete frame: the receive thread alone; the receiver (the
// process less the sending thread: receive thread, the caller's waits and
// its check of each frame, resend answers); the whole process. Aravis
// receives through a packet socket ring when it may (root in the
// namespace): the kernel then copies each packet in the sender's context,
// so its receive thread and receiver figures leave that copy out; the
// whole-process figure counts it for both.
void print(const char* who, const char* loss, const Result& r) {
  double mb = double(r.complete) * kPayload / 1e6;
  double n = r.complete ? r.complete : 1;
  std::printf(
      "%-13s %-8s frames %3d/%d complete  %6.1f fps  %6.1f MB/s  CPU ms/frame: receive thread %5.3f, "
      "receiver %5.3f, process %5.3f\n",
      who, loss, r.complete, kFrames, r.complete / r.seconds, mb / r.seconds, 1000.0 * r.threadCpu / n,
      1000.0 * r.receiverCpu / n, 1000.0 * r.processCpu / n);
}

}  // namespace

int main() {
  if (!sim::netns::enterPrivateNetwork()) {
    std::printf("gevlink_bench: no private network namespace (%s): nothing measured\n",
                sim::netns::skipReason().c_str());
    return 0;
  }
  sim::gige::DeviceConfig config;
  config.address = "127.0.0.2";
  config.identity.mac = {0x02, 0x5A, 0x45, 0x4C, 0x00, 0x09};
  config.identity.manufacturer = "zelcam";
  config.identity.model = "bench camera";
  config.identity.serialNumber = "B0001";
  std::string xml = gevlink::testing::smallGenicamXml();
  // Aravis sets the packet size through this feature.
  xml.insert(xml.find("<Port Name"), R"(<IntReg Name="GevSCPSPacketSize"><Address>0x0D04</Address><Length>4</Length>
    <AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  )");
  config.xmlFileName = "bench.xml";
  config.xmlFile.assign(xml.begin(), xml.end());
  config.frameHistory = 8;
  Features features;
  sim::gige::Device device(config, features);
  std::string error;
  if (!device.start(&error)) {
    std::printf("device: %s\n", error.c_str());
    return 1;
  }
  std::vector<uint8_t> image(kPayload);
  for (uint32_t i = 0; i < kPayload; ++i) image[i] = uint8_t(i * 7 + i / kWidth);
  std::printf("gevlink_bench: %d frames of %ux%u Mono8, 1500-byte packets, line rate = 125 MB/s\n", kFrames, kWidth,
              kHeight);
  // Ours both ways: the packet ring (where it opens) and recvmmsg with the
  // payloads landing in place.
  std::string why;
  const bool ring = gevlink::PacketRing::open(kLoopback, 9, 1 << 20, &why) != nullptr;
  std::printf("packet ring: %s\n",
              ring ? "available" : ("not available (" + why + "): both rows use recvmmsg").c_str());
  auto ratio = [](const char* what, const char* label, const Result& ours, const Result& theirs) {
    if (!ours.complete || !theirs.complete) return;
    std::printf(
        "ratio %-24s %-8s rate %.2f  CPU per frame: receive thread %.2f, receiver %.2f, process %.2f "
        "(gevlink / aravis)\n",
        what, label, (ours.complete / ours.seconds) / (theirs.complete / theirs.seconds),
        (ours.threadCpu / ours.complete) / (theirs.threadCpu / theirs.complete),
        (ours.receiverCpu / ours.complete) / (theirs.receiverCpu / theirs.complete),
        (ours.processCpu / ours.complete) / (theirs.processCpu / theirs.complete));
  };
  for (double loss : {0.0, 0.01}) {
    device.setFaults({.packetLoss = loss});
    const char* label = loss > 0 ? "1% loss" : "no loss";
    Result ours[2];
    for (bool useRing : {true, false}) {
      gevlink::GevTransportOptions options;
      options.packetRing = useRing;
      gevlink::Library::resetForTesting(gevlink::makeGevTransport(options), gevlink::Settings{});
      ours[useRing] = runGevlink(device, image);
      print(useRing ? "ring" : "recvmmsg", label, ours[useRing]);
    }
    Result theirs = runAravis(device, image);
    print("aravis", label, theirs);
    ratio("ring", label, ours[1], theirs);
    ratio("recvmmsg", label, ours[0], theirs);
    // Both without CAP_NET_RAW: Aravis then receives from its UDP socket too.
    if (ring && allowPacketSockets(false)) {
      Result plain = runAravis(device, image);
      allowPacketSockets(true);
      print("aravis-socket", label, plain);
      ratio("recvmmsg / aravis-socket", label, ours[0], plain);
    }
  }
  gevlink::Library::resetForTesting(gevlink::makeGevTransport(gevlink::GevTransportOptions{}), gevlink::Settings{});
  return 0;
}
