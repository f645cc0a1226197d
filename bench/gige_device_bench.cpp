// GVSP throughput of one virtual GigE Vision device (sim/gige) on loopback:
// 1280 x 1024 Mono8 frames sent back to back at 1500- and 8192-byte packets,
// without inter-packet delay and with the delay of a 1 Gbit/s link (packet
// bits / 1e9 s, in the device's 1 GHz timestamp ticks), received with
// recvmmsg by a plain UDP socket on another thread. Prints frames/s, MB/s and Gbit/s of image data, packets
// lost between device and receiver, frames received complete, and the
// sender's CPU time per frame. Target: at least 125 MB/s (1 Gbit/s) at
// 1500-byte packets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"

namespace {

namespace wire = gevlink::wire;
using Clock = std::chrono::steady_clock;

class NoFeatures : public sim::gige::RegisterSpace {
 public:
  uint16_t readRegister(uint32_t, uint32_t&) override { return wire::GEV_STATUS_INVALID_ADDRESS; }
  uint16_t writeRegister(uint32_t, uint32_t) override { return wire::GEV_STATUS_INVALID_ADDRESS; }
};

int udpSocket(uint32_t ip, uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(ip);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

bool writeRegister(int fd, uint16_t devicePort, uint32_t address, uint32_t value, uint16_t id) {
  const wire::RegisterWrite w[] = {{address, value}};
  auto cmd = wire::encodeWriteRegCmd(id, w);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(0x7F000002);
  to.sin_port = htons(devicePort);
  ::sendto(fd, cmd.data(), cmd.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{fd, POLLIN, 0};
  uint8_t buffer[600];
  if (::poll(&p, 1, 1000) != 1) return false;
  ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  wire::AckHeader h;
  std::span<const uint8_t> payload;
  return n > 0 && wire::parseAck(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), h, payload) &&
         h.status == wire::GEV_STATUS_SUCCESS;
}

double threadCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main() {
  NoFeatures features;
  sim::gige::DeviceConfig config;
  config.address = "127.0.0.2";
  config.gvcpPort = 0;  // unicast only: no discovery, no fixed port needed
  sim::gige::Device device(config, features);
  std::string error;
  if (!device.start(&error)) {
    std::fprintf(stderr, "gige_device_bench: %s\n", error.c_str());
    return 1;
  }
  uint16_t controlPort = 0, streamPort = 0;
  const int control = udpSocket(INADDR_LOOPBACK, controlPort);
  const int stream = udpSocket(INADDR_LOOPBACK, streamPort);
  int rcvbuf = 4 << 20;
  ::setsockopt(stream, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  uint16_t id = 1;
  if (!writeRegister(control, device.gvcpPort(), wire::kRegCcp, wire::kCcpControl, id++) ||
      !writeRegister(control, device.gvcpPort(), wire::kRegScda0, 0x7F000001, id++) ||
      !writeRegister(control, device.gvcpPort(), wire::kRegScp0, streamPort, id++)) {
    std::fprintf(stderr, "gige_device_bench: the device did not accept the stream set-up\n");
    return 1;
  }

  const uint32_t width = 1280, height = 1024;
  std::vector<uint8_t> image(width * height);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  std::printf("gige_device_bench: %u x %u Mono8, back to back, loopback\n", width, height);
  std::printf("%8s %9s %8s %9s %9s %8s %10s %10s %12s\n", "packet", "delay ns", "frames", "frames/s", "MB/s", "Gbit/s",
              "pkts lost", "complete", "CPU ms/frame");
  struct Run {
    uint32_t packetSize, delayTicks;
  };
  for (Run run : {Run{1500, 0}, Run{1500, 12'000}, Run{8192, 0}, Run{8192, 65'536}}) {
    const uint32_t packetSize = run.packetSize;
    writeRegister(control, device.gvcpPort(), wire::kRegScps0, packetSize, id++);
    writeRegister(control, device.gvcpPort(), wire::kRegScpd0, run.delayTicks, id++);
    const uint32_t perPacket = wire::payloadBytesPerPacket(packetSize);
    const uint32_t packetsPerFrame = (width * height + perPacket - 1) / perPacket + 2;
    const int frames = 200;
    std::atomic<bool> done{false};
    uint64_t received = 0, complete = 0;
    std::thread receiver([&] {
      constexpr int kBatch = 64;
      std::vector<uint8_t> buffers(size_t{kBatch} * 9000);
      mmsghdr msgs[kBatch];
      iovec iovs[kBatch];
      std::map<uint16_t, uint32_t> perBlock;
      while (true) {
        for (int i = 0; i < kBatch; ++i) {
          iovs[i] = {&buffers[size_t(i) * 9000], 9000};
          msgs[i] = mmsghdr{};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
        }
        pollfd p{stream, POLLIN, 0};
        if (::poll(&p, 1, 200) != 1) {
          if (done.load()) break;
          continue;
        }
        int n = ::recvmmsg(stream, msgs, kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
          wire::GvspHeader h;
          std::span<const uint8_t> payload;
          if (wire::parseGvspHeader(std::span<const uint8_t>(&buffers[size_t(i) * 9000], msgs[i].msg_len), h,
                                    payload)) {
            ++received;
            if (++perBlock[static_cast<uint16_t>(h.blockId)] == packetsPerFrame) ++complete;
          }
        }
      }
    });
    const auto before = device.counters();
    const double cpu0 = threadCpuSeconds();
    const auto t0 = Clock::now();
    for (int f = 0; f < frames; ++f) {
      device.sendFrame(image.data(), width, height, wire::kPixelMono8);
      // A CCP write every 50 frames is the controller's heartbeat.
      if (f % 50 == 0) writeRegister(control, device.gvcpPort(), wire::kRegCcp, wire::kCcpControl, id++);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = threadCpuSeconds() - cpu0;
    done = true;
    receiver.join();
    const auto after = device.counters();
    const uint64_t sent = after.packetsSent - before.packetsSent;
    const double mbps = double(frames) * width * height / seconds / 1e6;
    std::printf("%8u %9u %8d %9.1f %9.1f %8.2f %10llu %10llu %12.2f\n", packetSize, run.delayTicks, frames,
                frames / seconds, mbps, mbps * 8 / 1000, static_cast<unsigned long long>(sent - received),
                static_cast<unsigned long long>(complete), cpu * 1000 / frames);
  }
  ::close(control);
  ::close(stream);
  return 0;
}
