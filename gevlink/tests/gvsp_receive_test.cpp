// The GVSP receive paths (the packet ring, and recvmmsg with payloads landing
// in place) against packets a test writes itself: any order, duplicates with
// other bytes, strays of unknown or finished blocks, a payload larger than
// the stream's packets, a short last packet; and loss recovered by resend.
// The virtual head's device answers the control channel (and sends the lossy
// frames); the test's packets come from a socket of its own, in a private
// network namespace.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include "fake_device.h"
#include "gevlink.h"
#include "gevlink/gev_transport.h"
#include "gevlink/library.h"
#include "gevlink/packet_ring.h"
#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"
#include "sim/gige/testing/private_netns.h"

namespace gevlink {
namespace {

namespace wire = gevlink::wire;
constexpr uint32_t kLoopback = 0x0100007F, kDeviceAddress = 0x0400007F;  // 127.0.0.1, 127.0.0.4
// 576-byte packets carry 540 payload bytes: 298 packets, the last of 20.
constexpr uint32_t kWidth = 401, kHeight = 400, kImage = kWidth * kHeight, kStride = 540;
constexpr uint32_t kPackets = (kImage + kStride - 1) / kStride;

class NoFeatures : public sim::gige::RegisterSpace {
 public:
  uint16_t readRegister(uint32_t, uint32_t&) override { return wire::GEV_STATUS_INVALID_ADDRESS; }
  uint16_t writeRegister(uint32_t, uint32_t) override { return wire::GEV_STATUS_INVALID_ADDRESS; }
};

// Writes GVSP packets of one image to the port the library gave the device.
class Sender {
 public:
  explicit Sender(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = kLoopback;
    to_.sin_port = htons(port);
  }
  ~Sender() { ::close(fd_); }
  void leader(uint16_t block) {
    wire::ImageLeader l;
    l.width = kWidth;
    l.height = kHeight;
    uint8_t packet[64];
    send(packet, wire::writeImageLeader(packet, block, false, l));
  }
  void trailer(uint16_t block) {
    wire::ImageTrailer t;
    t.height = kHeight;
    uint8_t packet[64];
    send(packet, wire::writeImageTrailer(packet, block, kPackets + 1, false, t));
  }
  // Payload packet `id` (1-based) of `image`, `extra` bytes longer than it is.
  void payload(uint16_t block, uint32_t id, const std::vector<uint8_t>& image, uint32_t extra = 0) {
    uint8_t packet[2048]{};
    size_t header = wire::writeGvspHeader(packet, {wire::GEV_STATUS_SUCCESS, block, wire::kFormatPayload, id, false});
    size_t offset = size_t(id - 1) * kStride, size = std::min<size_t>(kStride, image.size() - offset) + extra;
    std::memcpy(packet + header, image.data() + offset, std::min<size_t>(size, image.size() - offset));
    send(packet, header + size);
  }

 private:
  void send(const uint8_t* data, size_t size) {
    ASSERT_GT(size, 0u);
    sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }
  int fd_;
  sockaddr_in to_{};
};

std::vector<uint8_t> image(uint8_t seed) {
  std::vector<uint8_t> img(kImage);
  for (uint32_t i = 0; i < kImage; ++i) img[i] = uint8_t(i * 31 + i / 977 + seed);
  return img;
}

class GvspReceive : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    std::string why;
    if (GetParam() && !PacketRing::open(kLoopback, 9, 1 << 20, &why)) GTEST_SKIP() << "no packet ring: " << why;
    sim::gige::DeviceConfig config;
    config.address = "127.0.0.4";
    config.identity.mac = {0x02, 0x5A, 0x45, 0x4C, 0x00, 0x44};
    std::string xml = testing::smallGenicamXml();
    config.xmlFileName = "camera.xml";
    config.frameHistory = 8;
    config.xmlFile.assign(xml.begin(), xml.end());
    device_ = std::make_unique<sim::gige::Device>(config, features_);
    std::string error;
    ASSERT_TRUE(device_->start(&error)) << error;
    GevTransportOptions options;
    options.commandTimeoutMs = 100;
    options.packetRing = GetParam();
    Library::resetForTesting(makeGevTransport(options), Settings{});
    INodeMap* map = nullptr;
    ASSERT_EQ(GDevOpen(&kLoopback, &kDeviceAddress, &handle_, &map, &err_), 0u) << std::hex << err_.code;
    uint32_t count = 0;
    ASSERT_EQ(GDevEnumStream(handle_, &key_, 1, &count, &err_), 0u);
    GDevRegPair size{wire::kRegScps0, 576};
    uint32_t written = 0;
    ASSERT_EQ(GDevDirectRegWrite(handle_, &size, 1, &written, &err_), 0u);
    // Exactly the frame: the last packet's place ends the buffer.
    for (auto& b : buffers_) {
      b.assign(GDEV_FRAME_DATA_OFFSET + kImage, 0);
      ASSERT_EQ(GDevQueBuffer(handle_, key_, b.data(), uint32_t(b.size()), &err_), 0u);
    }
    ASSERT_EQ(GDevStartStream(handle_, key_, &err_), 0u);
    uint32_t address = wire::kRegScp0, port = 0;
    ASSERT_EQ(GDevDirectRegRead(handle_, &address, &port, 1, &err_), 0u);
    sender_ = std::make_unique<Sender>(uint16_t(port));
  }
  void TearDown() override {
    if (handle_) GDevClose(handle_, &err_);
    Library::resetForTesting(makeGevTransport(GevTransportOptions{}), Settings{});
  }
  // Waits for the next frame: status, buffer.
  uint32_t wait(uint8_t*& buffer) {
    uint32_t channel = 0, extra = 0;
    void* b = nullptr;
    uint32_t status = GDevWaitStreamEx(handle_, &key_, 1, 3000, &channel, &b, &extra, &err_);
    buffer = static_cast<uint8_t*>(b);
    return status;
  }

  NoFeatures features_;
  std::unique_ptr<sim::gige::Device> device_;
  uint64_t handle_ = 0;
  uint32_t key_ = 0;
  GDevErrInfo err_{};
  std::vector<uint8_t> buffers_[3];
  std::unique_ptr<Sender> sender_;
};

TEST_P(GvspReceive, AnyOrderDuplicatesAndStraysGiveEachFrameByteForByte) {
  // Frame 100: runs in order with pauses (so receives aim ahead), pairs
  // swapped, a run reversed, duplicates carrying other bytes, packets of an
  // old block, the short last packet before the others.
  std::vector<uint8_t> first = image(1), other = image(99);
  std::vector<uint32_t> order(kPackets);
  std::iota(order.begin(), order.end(), 1u);
  for (uint32_t i = 10; i + 1 < 100; i += 9) std::swap(order[i], order[i + 1]);
  std::reverse(order.begin() + 120, order.begin() + 200);
  std::swap(order[150], order[kPackets - 1]);
  sender_->leader(100);
  for (uint32_t n = 0; n < kPackets; ++n) {
    sender_->payload(100, order[n], first);
    if (n % 37 == 5) sender_->payload(100, order[n], other);  // duplicate, other bytes: the first stays
    if (n % 50 == 7) sender_->payload(3, order[n], other);    // an old block's stray
    if (n % 64 == 20) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sender_->trailer(100);
  uint8_t* buffer = nullptr;
  ASSERT_EQ(wait(buffer), 0u) << std::hex << err_.code << " " << err_.info;
  ASSERT_NE(buffer, nullptr);
  GDevFrameInfo info;
  std::memcpy(&info, buffer, sizeof info);
  EXPECT_EQ(info.blockId, 100u);
  EXPECT_EQ(info.payloadSize, kImage);
  EXPECT_EQ(std::memcmp(buffer + GDEV_FRAME_DATA_OFFSET, first.data(), kImage), 0);

  // Frame 101 in order, while late packets of the delivered frame 100 come
  // again with other bytes: the buffer we hold does not change.
  std::vector<uint8_t> second = image(2);
  sender_->leader(101);
  for (uint32_t id = 1; id <= kPackets; ++id) {
    sender_->payload(101, id, second);
    if (id % 40 == 0) sender_->payload(100, id, other);
  }
  sender_->trailer(101);
  uint8_t* next = nullptr;
  ASSERT_EQ(wait(next), 0u) << std::hex << err_.code;
  EXPECT_EQ(std::memcmp(next + GDEV_FRAME_DATA_OFFSET, second.data(), kImage), 0);
  EXPECT_EQ(std::memcmp(buffer + GDEV_FRAME_DATA_OFFSET, first.data(), kImage), 0);
  ASSERT_EQ(GDevBuffUnlock(handle_, key_, buffer, &err_), 0u);
  ASSERT_EQ(GDevBuffUnlock(handle_, key_, next, &err_), 0u);
}

TEST_P(GvspReceive, PayloadLargerThanThePacketsEndsTheFrameAsOverrun) {
  // Once in the middle of the frame, once as the short last packet whose
  // place ends the buffer: neither writes past its place.
  std::vector<uint8_t> img = image(3);
  for (uint32_t oversized : {kPackets / 2, kPackets}) {
    uint16_t block = uint16_t(200 + oversized);
    sender_->leader(block);
    for (uint32_t id = 1; id <= kPackets; ++id) sender_->payload(block, id, img, id == oversized ? 8 : 0);
    sender_->trailer(block);
    uint8_t* buffer = nullptr;
    EXPECT_EQ(wait(buffer), 1208u);
    EXPECT_EQ(err_.code, uint32_t(GDEV_FRAME_OVERRUN));
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(GDevBuffUnlock(handle_, key_, buffer, &err_), 0u);
  }
  // The stream goes on: the next frame is whole.
  sender_->leader(600);
  for (uint32_t id = 1; id <= kPackets; ++id) sender_->payload(600, id, img);
  sender_->trailer(600);
  uint8_t* buffer = nullptr;
  ASSERT_EQ(wait(buffer), 0u) << std::hex << err_.code;
  EXPECT_EQ(std::memcmp(buffer + GDEV_FRAME_DATA_OFFSET, img.data(), kImage), 0);
}

TEST_P(GvspReceive, LossIsRecoveredByResend) {
  device_->setFaults({.packetLoss = 0.03});
  for (uint8_t frame = 0; frame < 6; ++frame) {
    std::vector<uint8_t> img = image(frame);
    ASSERT_TRUE(device_->sendFrame(img.data(), kWidth, kHeight, wire::kPixelMono8));
    uint8_t* buffer = nullptr;
    ASSERT_EQ(wait(buffer), 0u) << "frame " << int(frame) << std::hex << " code " << err_.code;
    EXPECT_EQ(std::memcmp(buffer + GDEV_FRAME_DATA_OFFSET, img.data(), kImage), 0) << "frame " << int(frame);
    ASSERT_EQ(GDevBuffUnlock(handle_, key_, buffer, &err_), 0u);
  }
  EXPECT_GT(device_->counters().packetsResent, 0u);
}

TEST_P(GvspReceive, FlushedBuffersAreNeverWrittenAgain) {
  // Half a frame, so that the next receive is aimed into its buffer; then the
  // buffers come back to us and the rest of the frame arrives.
  std::vector<uint8_t> img = image(4);
  sender_->leader(700);
  for (uint32_t id = 1; id <= kPackets / 3; ++id) sender_->payload(700, id, img);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(GDevFlushBuffer(handle_, key_, &err_), 0u);
  for (auto& b : buffers_) std::fill(b.begin(), b.end(), 0xEE);
  for (uint32_t id = kPackets / 3 + 1; id <= kPackets; ++id) sender_->payload(700, id, img);
  sender_->trailer(700);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  for (auto& b : buffers_)
    EXPECT_EQ(std::count(b.begin(), b.end(), 0xEE), std::ptrdiff_t(b.size())) << "a flushed buffer was written";
  // Queued again, they take the next frame.
  for (auto& b : buffers_) ASSERT_EQ(GDevQueBuffer(handle_, key_, b.data(), uint32_t(b.size()), &err_), 0u);
  sender_->leader(701);
  for (uint32_t id = 1; id <= kPackets; ++id) sender_->payload(701, id, img);
  sender_->trailer(701);
  uint8_t* buffer = nullptr;
  ASSERT_EQ(wait(buffer), 0u) << std::hex << err_.code;
  EXPECT_EQ(std::memcmp(buffer + GDEV_FRAME_DATA_OFFSET, img.data(), kImage), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, GvspReceive, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Ring" : "Recvmmsg"; });

}  // namespace
}  // namespace gevlink
