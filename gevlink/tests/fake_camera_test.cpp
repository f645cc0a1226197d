// Against Aravis's fake GigE Vision camera, an independent peer, inside a
// private network namespace: discovery, open with its XML, node reads that
// agree with arv-tool-0.8, frames streamed whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gevlink.h"
#include "gevlink/gev_transport.h"
#include "gevlink/library.h"
#include "sim/gige/testing/private_netns.h"

extern char** environ;

namespace gevlink {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network byte order

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char line[512];
  while (std::fgets(line, sizeof line, p)) out += line;
  pclose(p);
  return out;
}

class FakeCamera : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    const char* argv[] = {"arv-fake-gv-camera-0.8", "-i", "127.0.0.1", "-s", "GVTEST1", nullptr};
    if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = 0;
    Settings settings;  // no trace files from tests
    GevTransportOptions options;
    options.discoveryTimeoutMs = 200;
    Library::resetForTesting(makeGevTransport(options), settings);
  }
  static void TearDownTestSuite() {
    Library::resetForTesting(makeGevTransport(GevTransportOptions{}), Settings{});
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    if (pid_ <= 0) GTEST_SKIP() << "arv-fake-gv-camera-0.8 did not start";
    // The camera answers once its sockets are up.
    for (int i = 0; i < 50 && found() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  uint32_t found(DeviceInfo* info = nullptr) {
    DeviceInfo local[4];
    uint32_t n = 0;
    GDevErrInfo err{};
    GDevEnumDevice(&kLoopback, info ? info : local, info ? 1 : 4, &n, &err);
    return n;
  }
  static pid_t pid_;
};
pid_t FakeCamera::pid_ = 0;

TEST_F(FakeCamera, DiscoveryOpenAndNodesAgreeWithArvTool) {
  DeviceInfo info{};
  ASSERT_EQ(found(&info), 1u);
  EXPECT_STREQ(info.serialNumber, "GVTEST1");
  EXPECT_STREQ(info.manufacturerName, "Aravis");
  const uint8_t ip[4] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(&info.currentIp, ip, 4), 0);

  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  ASSERT_EQ(GDevOpen(&kLoopback, &info.currentIp, &device, &map, &err), 0u) << std::hex << err.code << " " << err.info;
  int64_t width = map->getInteger("Width"), height = map->getInteger("Height");
  int64_t payload = map->getInteger("PayloadSize");
  std::string format = map->getEnumSymbol("PixelFormat");
  GDevClose(device, &err);  // arv-tool needs control of the device

  std::string tool = run("arv-tool-0.8 -a 127.0.0.1 control Width Height PayloadSize PixelFormat 2>&1");
  EXPECT_NE(tool.find("Width = " + std::to_string(width)), std::string::npos) << tool;
  EXPECT_NE(tool.find("Height = " + std::to_string(height)), std::string::npos) << tool;
  EXPECT_NE(tool.find("PayloadSize = " + std::to_string(payload)), std::string::npos) << tool;
  EXPECT_NE(tool.find("PixelFormat = " + format), std::string::npos) << tool;
}

TEST_F(FakeCamera, HundredFramesStreamWhole) {
  DeviceInfo info{};
  ASSERT_EQ(found(&info), 1u);
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  ASSERT_EQ(GDevOpen(&kLoopback, &info.currentIp, &device, &map, &err), 0u);
  map->setInteger("Width", 256);
  map->setInteger("Height", 128);
  uint32_t payload = uint32_t(map->getInteger("PayloadSize"));
  ASSERT_EQ(payload, 256u * 128u);
  uint32_t key = 0, count = 0;
  ASSERT_EQ(GDevEnumStream(device, &key, 1, &count, &err), 0u);
  ASSERT_GE(count, 1u);
  std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(GDEV_FRAME_DATA_OFFSET + payload));
  for (auto& b : buffers) ASSERT_EQ(GDevQueBuffer(device, key, b.data(), uint32_t(b.size()), &err), 0u);
  ASSERT_EQ(GDevStartStream(device, key, &err), 0u);
  map->execute("AcquisitionStart");
  // The fake camera cannot resend: on a loaded machine a datagram lost on
  // loopback costs a frame, which must then come back as failed, never as
  // good. Up to 10 such losses are allowed on the way to 100 good frames.
  int good = 0, failed = 0;
  uint32_t lastBlock = 0;
  while (good < 100 && failed <= 10) {
    uint32_t channel = 0, extra = 0;
    void* buffer = nullptr;
    uint32_t status = GDevWaitStreamEx(device, &key, 1, 3000, &channel, &buffer, &extra, &err);
    ASSERT_NE(buffer, nullptr) << std::hex << "status " << status << " code " << err.code;
    GDevFrameInfo fi;
    std::memcpy(&fi, buffer, sizeof fi);
    EXPECT_EQ(fi.magic, GDEV_FRAME_INFO_MAGIC);
    if (status != 0) {
      EXPECT_EQ(status, 1208u);
      EXPECT_GT(fi.packetsMissing, 0u);
      ++failed;
      ASSERT_EQ(GDevBuffUnlock(device, key, buffer, &err), 0u);
      continue;
    }
    EXPECT_EQ(fi.width, 256u);
    EXPECT_EQ(fi.height, 128u);
    EXPECT_EQ(fi.payloadSize, payload);
    EXPECT_EQ(fi.packetsMissing, 0u);
    if (lastBlock) {
      EXPECT_GT(fi.blockId, lastBlock);
    }
    lastBlock = fi.blockId;
    // The fake camera draws a diagonal ramp that moves one step per frame:
    // every pixel equals its upper-right neighbour, and row 0 climbs by one.
    const uint8_t* image = static_cast<const uint8_t*>(buffer) + GDEV_FRAME_DATA_OFFSET;
    bool ramp = image[1] == uint8_t(image[0] + 1);
    for (uint32_t y = 1; y < 128 && ramp; ++y)
      for (uint32_t x = 0; x + 1 < 256 && ramp; ++x) ramp = image[y * 256 + x] == image[(y - 1) * 256 + x + 1];
    EXPECT_TRUE(ramp) << "block " << fi.blockId;
    good += ramp;
    ASSERT_EQ(GDevBuffUnlock(device, key, buffer, &err), 0u);
  }
  EXPECT_EQ(good, 100);
  map->execute("AcquisitionStop");
  uint32_t key1 = key;
  GDevCancelStream(device, key1, &err);
  GDevFlushBuffer(device, key, &err);
  EXPECT_EQ(GDevClose(device, &err), 0u);
}

}  // namespace
}  // namespace gevlink
