// Against the virtual head's GigE Vision device (sim/gige) in a private
// network namespace: plain and zipped XML, frames byte for byte through
// packet loss and resend, incomplete frames, a device that vanishes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "fake_device.h"
#include "gevlink.h"
#include "gevlink/gev_transport.h"
#include "gevlink/library.h"
#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"
#include "sim/gige/testing/private_netns.h"

namespace gevlink {
namespace {

namespace wire = gevlink::wire;
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network byte order
constexpr uint32_t kWidth = 640, kHeight = 480;

// Width, Height, PayloadSize, AcquisitionStart of the small GenICam file.
class Features : public sim::gige::RegisterSpace {
 public:
  uint16_t readRegister(uint32_t address, uint32_t& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = regs_.find(address);
    if (it == regs_.end()) return wire::GEV_STATUS_INVALID_ADDRESS;
    value = it->second;
    return wire::GEV_STATUS_SUCCESS;
  }
  uint16_t writeRegister(uint32_t address, uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!regs_.count(address) || address == 0x10008) return wire::GEV_STATUS_WRITE_PROTECT;
    regs_[address] = value;
    return wire::GEV_STATUS_SUCCESS;
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, uint32_t> regs_{{0x10000, kWidth}, {0x10004, kHeight}, {0x10008, kWidth* kHeight}, {0x1000C, 0}};
};

class VirtualDevice : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    std::string xml = testing::smallGenicamXml();
    for (int i = 0; i < 2; ++i) {
      sim::gige::DeviceConfig config;
      config.address = i == 0 ? "127.0.0.2" : "127.0.0.3";
      config.identity.mac = {0x02, 0x5A, 0x45, 0x4C, 0x00, uint8_t(i + 1)};
      config.identity.manufacturer = "zelcam";
      config.identity.model = "virtual camera";
      config.identity.serialNumber = i == 0 ? "V0001" : "V0002";
      config.identity.userName = i == 0 ? "plain" : "zipped";
      if (i == 0) {
        config.xmlFileName = "camera.xml";
        config.xmlFile.assign(xml.begin(), xml.end());
      } else {
        config.xmlFileName = "CAMERA.ZIP";
        config.xmlFile = testing::zipOf("camera.xml", xml);
      }
      config.frameHistory = 8;
      features_[i] = std::make_unique<Features>();
      devices_[i] = std::make_unique<sim::gige::Device>(config, *features_[i]);
      std::string error;
      if (!devices_[i]->start(&error)) ADD_FAILURE() << error;
    }
  }
  static void TearDownTestSuite() {
    Library::resetForTesting(makeGevTransport(GevTransportOptions{}), Settings{});
    for (auto& d : devices_) d.reset();
  }
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    GevTransportOptions options;
    options.discoveryTimeoutMs = 150;
    options.commandTimeoutMs = 100;
    options.commandRetries = 2;
    options.heartbeatPeriodMs = 200;
    Library::resetForTesting(makeGevTransport(options), Settings{});
    for (auto& d : devices_) d->setFaults({});
  }
  uint64_t open(int index, INodeMap** map) {
    uint32_t address = index == 0 ? 0x0200007F : 0x0300007F;
    uint64_t device = 0;
    GDevErrInfo err{};
    EXPECT_EQ(GDevOpen(&kLoopback, &address, &device, map, &err), 0u) << std::hex << err.code << " " << err.info;
    return device;
  }
  // Queues buffers and starts the stream; returns its key.
  uint32_t start(uint64_t device, std::vector<std::vector<uint8_t>>& buffers) {
    uint32_t key = 0, count = 0;
    GDevErrInfo err{};
    EXPECT_EQ(GDevEnumStream(device, &key, 1, &count, &err), 0u);
    for (auto& b : buffers) EXPECT_EQ(GDevQueBuffer(device, key, b.data(), uint32_t(b.size()), &err), 0u);
    EXPECT_EQ(GDevStartStream(device, key, &err), 0u);
    return key;
  }
  static std::vector<uint8_t> image(int seed) {
    std::vector<uint8_t> img(kWidth * kHeight);
    std::mt19937 random{uint32_t(seed)};
    for (auto& p : img) p = uint8_t(random());
    return img;
  }
  static std::unique_ptr<Features> features_[2];
  static std::unique_ptr<sim::gige::Device> devices_[2];
};
std::unique_ptr<Features> VirtualDevice::features_[2];
std::unique_ptr<sim::gige::Device> VirtualDevice::devices_[2];

TEST_F(VirtualDevice, DiscoveryForceIpAndBothXmlForms) {
  DeviceInfo infos[4];
  uint32_t found = 0;
  GDevErrInfo err{};
  ASSERT_EQ(GDevEnumDevice(&kLoopback, infos, 4, &found, &err), 0u);
  ASSERT_EQ(found, 2u);
  std::set<std::string> names{infos[0].userDefinedName, infos[1].userDefinedName};
  EXPECT_EQ(names, (std::set<std::string>{"plain", "zipped"}));
  // FORCEIP reaches the device with that MAC (it keeps its address here);
  // an unknown MAC gets no answer.
  const uint8_t mac[6] = {0x02, 0x5A, 0x45, 0x4C, 0x00, 0x01}, nobody[6] = {0x02, 0, 0, 0, 0, 0x77};
  const uint32_t ip = 0x0200007F, mask = 0x000000FF, gateway = 0;
  EXPECT_EQ(GDevFoceIP(&kLoopback, mac, &ip, &mask, &gateway, &err), 0u);
  EXPECT_EQ(GDevFoceIP(&kLoopback, nobody, &ip, &mask, &gateway, &err), uint32_t(GDEV_STATUS_TIMEOUT));
  for (int i = 0; i < 2; ++i) {
    INodeMap* map = nullptr;
    uint64_t device = open(i, &map);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getInteger("Width"), kWidth);
    EXPECT_TRUE(devices_[i]->hasController());
    EXPECT_EQ(GDevClose(device, &err), 0u);
    EXPECT_FALSE(devices_[i]->hasController());
  }
}

TEST_F(VirtualDevice, LossIsRecoveredByResendByteForByte) {
  devices_[0]->setFaults({.packetLoss = 0.02});
  INodeMap* map = nullptr;
  uint64_t device = open(0, &map);
  std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(GDEV_FRAME_DATA_OFFSET + kWidth * kHeight));
  uint32_t key = start(device, buffers);
  int resent = 0;
  for (int frame = 0; frame < 20; ++frame) {
    std::vector<uint8_t> sent = image(frame);
    ASSERT_TRUE(devices_[0]->sendFrame(sent.data(), kWidth, kHeight, wire::kPixelMono8));
    uint32_t channel = 0;
    void* buffer = nullptr;
    GDevErrInfo err{};
    ASSERT_EQ(GDevWaitStream(device, &key, 1, &channel, &buffer, &err), 0u)
        << "frame " << frame << " code " << err.code << " info " << err.info;
    GDevFrameInfo info;
    std::memcpy(&info, buffer, sizeof info);
    EXPECT_EQ(info.width, kWidth);
    EXPECT_EQ(info.payloadSize, kWidth * kHeight);
    resent += info.packetsResent > 0;
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(buffer) + GDEV_FRAME_DATA_OFFSET, sent.data(), sent.size()), 0)
        << "frame " << frame;
    ASSERT_EQ(GDevBuffUnlock(device, key, buffer, &err), 0u);
  }
  EXPECT_GT(resent, 10);  // about 4 of 210 packets lost per frame
  EXPECT_GT(devices_[0]->counters().packetsResent, 0u);
  GDevErrInfo err{};
  EXPECT_EQ(GDevClose(device, &err), 0u);
}

TEST_F(VirtualDevice, FrameThatStaysIncompleteIsNeverGood) {
  devices_[0]->setFaults({.packetLoss = 0.02, .incompleteFrames = 1.0});
  INodeMap* map = nullptr;
  uint64_t device = open(0, &map);
  std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(GDEV_FRAME_DATA_OFFSET + kWidth * kHeight));
  uint32_t key = start(device, buffers);
  std::vector<uint8_t> sent = image(1);
  ASSERT_TRUE(devices_[0]->sendFrame(sent.data(), kWidth, kHeight, wire::kPixelMono8));
  uint32_t channel = 0;
  void* buffer = nullptr;
  GDevErrInfo err{};
  EXPECT_EQ(GDevWaitStream(device, &key, 1, &channel, &buffer, &err), 1208u);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(err.code, uint32_t(GDEV_FRAME_INCOMPLETE));
  EXPECT_GT(err.info, 0u);  // packets missing
  GDevFrameInfo info;
  std::memcpy(&info, buffer, sizeof info);
  EXPECT_EQ(info.kind, uint32_t(GDEV_FRAME_INCOMPLETE));
  EXPECT_EQ(GDevClose(device, &err), 0u);
}

TEST_F(VirtualDevice, VanishedDeviceEndsEveryWaiterWithAnError) {
  INodeMap* map = nullptr;
  uint64_t device = open(1, &map);
  std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(GDEV_FRAME_DATA_OFFSET + kWidth * kHeight));
  uint32_t key = start(device, buffers);
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
  devices_[1]->setFaults({.vanished = true});
  ASSERT_EQ(streamWaiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  ASSERT_EQ(eventWaiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_NE(streamWaiter.get(), 0u);
  EXPECT_NE(eventWaiter.get(), 0u);
  uint32_t address = 0x10000, value = 0;
  GDevErrInfo err{};
  EXPECT_EQ(GDevDirectRegRead(device, &address, &value, 1, &err), uint32_t(GDEV_STATUS_TIMEOUT));
  EXPECT_EQ(GDevClose(device, &err), 0u);
  devices_[1]->setFaults({});
}

}  // namespace
}  // namespace gevlink
