// End to end against `zelsim serve --head stereo` (the live virtual head) in
// a private network namespace: the head's zipped XML, its registers and
// projector channel, a continuous stream with 2 % packet loss recovered by
// resend, and the head vanishing under waiting callers.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
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

constexpr uint32_t kLoopback = 0x0100007F;

class ZelsimServe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    const char* bin = std::getenv("ZEL_BINARY_DIR");
    std::string zelsim = std::string(bin ? bin : ".") + "/bin/zelsim";
    if (access(zelsim.c_str(), X_OK) != 0) return;
    char dir[] = "/tmp/gevlink-serve-XXXXXX";
    dir_ = mkdtemp(dir);
    control_ = dir_ + "/control";
    std::ofstream(control_) << "loss 0.02\n";
    std::vector<std::string> args = {
        zelsim, "serve", "--scene", "plane",        "--head",  "stereo",  "--size",        "320x256",   "--supersample",
        "1",    "--fps", "50",      "--no-publish", "--quiet", "--cache", dir_ + "/cache", "--control", control_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, zelsim.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    GevTransportOptions options;
    options.discoveryTimeoutMs = 150;
    options.commandTimeoutMs = 150;
    options.commandRetries = 2;
    options.heartbeatPeriodMs = 250;
    Library::resetForTesting(makeGevTransport(options), Settings{});
    // Rendering the patterns takes a moment.
    for (int i = 0; i < 240 && pid_ > 0 && !head(nullptr); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  static void TearDownTestSuite() {
    Library::resetForTesting(makeGevTransport(GevTransportOptions{}), Settings{});
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  static bool head(DeviceInfo* out) {
    DeviceInfo infos[10];
    uint32_t found = 0;
    GDevErrInfo err{};
    if (GDevEnumDevice(&kLoopback, infos, 10, &found, &err) != 0) return false;
    for (uint32_t i = 0; i < found && i < 10; ++i)
      if (std::strcmp(infos[i].userDefinedName, "head") == 0) {
        if (out) *out = infos[i];
        return true;
      }
    return false;
  }
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    if (pid_ <= 0) GTEST_SKIP() << "zelsim serve is not built or did not start";
    ASSERT_TRUE(head(&info_)) << "the head did not appear";
  }
  static pid_t pid_;
  static std::string dir_, control_;
  DeviceInfo info_{};
};
pid_t ZelsimServe::pid_ = 0;
std::string ZelsimServe::dir_, ZelsimServe::control_;

// The head's projector channel: one register write per character, the
// character in the low 16 bits and its complement in the high 16.
uint32_t sendProjector(uint64_t device, const std::string& text) {
  std::vector<GDevRegPair> pairs;
  for (unsigned char c : text) pairs.push_back({0x00300004, uint32_t(~c & 0xFFFF) << 16 | c});
  uint32_t written = 0;
  GDevErrInfo err{};
  return GDevDirectRegWrite(device, pairs.data(), uint32_t(pairs.size()), &written, &err);
}

TEST_F(ZelsimServe, HeadStreamsThroughLossAndAnswersItsChannel) {
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  ASSERT_EQ(GDevOpen(&kLoopback, &info_.currentIp, &device, &map, &err), 0u) << std::hex << err.code;
  uint32_t address = 0x00101110, firmware = 0;
  ASSERT_EQ(GDevDirectRegRead(device, &address, &firmware, 1, &err), 0u);
  EXPECT_EQ(firmware, 0x01040207u);
  int64_t width = map->getInteger("Width"), height = map->getInteger("Height");
  uint32_t payload = uint32_t(map->getInteger("PayloadSize"));
  EXPECT_EQ(int64_t(payload), width * height);
  EXPECT_EQ(sendProjector(device, "o1\r"), 0u);
  GDevRegPair wrong{0x00300004, 0x0000006F};  // no complement: refused
  uint32_t written = 0;
  EXPECT_NE(GDevDirectRegWrite(device, &wrong, 1, &written, &err), 0u);

  uint32_t key = 0, count = 0;
  ASSERT_EQ(GDevEnumStream(device, &key, 1, &count, &err), 0u);
  std::vector<std::vector<uint8_t>> buffers(6, std::vector<uint8_t>(payload + 66688));
  for (auto& b : buffers) ASSERT_EQ(GDevQueBuffer(device, key, b.data(), uint32_t(b.size()), &err), 0u);
  ASSERT_EQ(GDevStartStreamEx(device, key, 0, &err), 0u);
  GDevRegPair start{0x00100020, 0};
  ASSERT_EQ(GDevDirectRegWrite(device, &start, 1, &written, &err), 0u);
  map->setInteger("TLParamsLocked", 1);
  map->execute("AcquisitionStart");
  int resent = 0;
  for (int frame = 0; frame < 20; ++frame) {
    uint32_t channel = 0;
    void* buffer = nullptr;
    ASSERT_EQ(GDevWaitStream(device, &key, 1, &channel, &buffer, &err), 0u)
        << "frame " << frame << std::hex << " code " << err.code << " info " << err.info;
    GDevFrameInfo fi;
    std::memcpy(&fi, buffer, sizeof fi);
    EXPECT_EQ(int64_t(fi.width), width);
    EXPECT_EQ(fi.payloadSize, payload);
    resent += fi.packetsResent > 0;
    // Pattern 1 (white) lights the plane: the image is not black.
    const uint8_t* image = static_cast<const uint8_t*>(buffer) + GDEV_FRAME_DATA_OFFSET;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < payload; ++i) sum += image[i];
    EXPECT_GT(sum, payload * 20ull) << "frame " << frame;
    ASSERT_EQ(GDevBuffUnlock(device, key, buffer, &err), 0u);
  }
  EXPECT_GT(resent, 0);
  map->execute("AcquisitionStop");
  map->setInteger("TLParamsLocked", 0);
  EXPECT_EQ(GDevCancelStream(device, key, &err), 0u);
  EXPECT_EQ(GDevFlushBuffer(device, key, &err), 0u);
  EXPECT_EQ(GDevClose(device, &err), 0u);
}

TEST_F(ZelsimServe, VanishedHeadEndsEveryWaiter) {
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  ASSERT_EQ(GDevOpen(&kLoopback, &info_.currentIp, &device, &map, &err), 0u);
  uint32_t key = 0, count = 0;
  ASSERT_EQ(GDevEnumStream(device, &key, 1, &count, &err), 0u);
  uint32_t payload = uint32_t(map->getInteger("PayloadSize"));
  std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(payload + 66688));
  for (auto& b : buffers) ASSERT_EQ(GDevQueBuffer(device, key, b.data(), uint32_t(b.size()), &err), 0u);
  ASSERT_EQ(GDevStartStreamEx(device, key, 0, &err), 0u);
  auto streamWaiter = std::async(std::launch::async, [&] {
    uint32_t channel = 0;
    void* buffer = nullptr;
    GDevErrInfo e{};
    return GDevWaitStream(device, &key, 1, &channel, &buffer, &e);
  });
  auto eventWaiter = std::async(std::launch::async, [&] {
    uint8_t event[GDEV_EVENT_BUFFER_SIZE];
    uint32_t length = 0;
    GDevErrInfo e{};
    return GDevWaitEvent(device, event, &length, &e);
  });
  std::ofstream(control_) << "loss 0.02\nvanish 1\n";
  kill(pid_, SIGHUP);
  bool streamEnded = streamWaiter.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  bool eventEnded = eventWaiter.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(streamEnded && eventEnded);
  EXPECT_EQ(GDevClose(device, &err), 0u);  // wakes them in any case
  EXPECT_EQ(streamWaiter.get(), streamEnded ? uint32_t(GDEV_STATUS_TIMEOUT) : uint32_t(GDEV_STATUS_EXTENDED_ERROR));
  EXPECT_EQ(eventWaiter.get(), eventEnded ? uint32_t(GDEV_STATUS_TIMEOUT) : uint32_t(GDEV_STATUS_EXTENDED_ERROR));
  std::ofstream(control_) << "loss 0.02\n";
  kill(pid_, SIGHUP);
}

}  // namespace
}  // namespace gevlink
