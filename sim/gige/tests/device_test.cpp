// A Device driven over UDP on loopback by a small client built on our own wire
// functions: discovery, FORCEIP, registers and memory with their status codes,
// control privilege and heartbeat loss, PENDING, a streamed frame and resends.
#include "sim/gige/device.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/testing/private_netns.h"

namespace sim::gige {
namespace {

namespace wire = gevlink::wire;
using namespace std::chrono_literals;

constexpr uint32_t kWidth = 0x20000, kHeight = 0x20004, kReadOnly = 0x20008, kSlow = 0x2000C;

// Two plain registers, one read-only, one slow; nothing else exists.
class TestRegisters : public RegisterSpace {
 public:
  uint16_t readRegister(uint32_t address, uint32_t& value) override {
    auto it = regs_.find(address);
    if (it == regs_.end()) return wire::GEV_STATUS_INVALID_ADDRESS;
    value = it->second;
    return wire::GEV_STATUS_SUCCESS;
  }
  uint16_t writeRegister(uint32_t address, uint32_t value) override {
    if (address == kReadOnly) return wire::GEV_STATUS_WRITE_PROTECT;
    if (!regs_.count(address)) return wire::GEV_STATUS_INVALID_ADDRESS;
    if (address == kSlow) std::this_thread::sleep_for(150ms);
    regs_[address] = value;
    return wire::GEV_STATUS_SUCCESS;
  }
  bool isSlowWrite(uint32_t address) const override { return address == kSlow; }

 private:
  std::map<uint32_t, uint32_t> regs_{{kWidth, 64}, {kHeight, 48}, {kReadOnly, 7}, {kSlow, 0}};
};

class UdpSocket {
 public:
  explicit UdpSocket(uint32_t ip = INADDR_LOOPBACK) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~UdpSocket() { ::close(fd_); }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  void sendTo(uint32_t ip, uint16_t port, const wire::Bytes& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip);
    to.sin_port = htons(port);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::optional<wire::Bytes> receive(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
    wire::Bytes buffer(65536);
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }

 private:
  int fd_;
  uint16_t port_ = 0;
};

// A GVCP client: one socket (= one application for the device's privilege).
class Client {
 public:
  Client(uint32_t deviceIp, uint16_t devicePort) : ip_(deviceIp), port_(devicePort) {}
  struct Answer {
    wire::AckHeader header;
    wire::Bytes payload;
    bool pendingFirst = false;
  };
  std::optional<Answer> transact(const wire::Bytes& command, std::chrono::milliseconds wait = 3000ms) {
    socket_.sendTo(ip_, port_, command);
    Answer answer;
    const uint16_t id = static_cast<uint16_t>((command[6] << 8) | command[7]);
    while (auto got = socket_.receive(wait)) {
      std::span<const uint8_t> payload;
      if (!wire::parseAck(*got, answer.header, payload) || answer.header.ackId != id) continue;
      if (answer.header.answer == wire::kPendingAck) {
        answer.pendingFirst = true;
        continue;
      }
      answer.payload.assign(payload.begin(), payload.end());
      return answer;
    }
    return std::nullopt;
  }
  uint16_t read(uint32_t address, uint32_t& value) {
    const uint32_t a[] = {address};
    auto answer = transact(wire::encodeReadRegCmd(next(), a));
    if (!answer) return 0xFFFF;
    std::vector<uint32_t> values;
    if (wire::parseReadRegAck(answer->payload, values) && !values.empty()) value = values[0];
    return answer->header.status;
  }
  uint16_t write(uint32_t address, uint32_t value, bool* pending = nullptr) {
    const wire::RegisterWrite w[] = {{address, value}};
    auto answer = transact(wire::encodeWriteRegCmd(next(), w));
    if (!answer) return 0xFFFF;
    if (pending) *pending = answer->pendingFirst;
    return answer->header.status;
  }
  uint16_t readMem(uint32_t address, uint16_t count, wire::Bytes& data) {
    auto answer = transact(wire::encodeReadMemCmd(next(), address, count));
    if (!answer) return 0xFFFF;
    uint32_t at = 0;
    std::span<const uint8_t> bytes;
    if (wire::parseReadMemAck(answer->payload, at, bytes)) data.assign(bytes.begin(), bytes.end());
    return answer->header.status;
  }
  std::optional<wire::DiscoveryInfo> discover(std::chrono::milliseconds wait = 3000ms) {
    auto answer = transact(wire::encodeDiscoveryCmd(next()), wait);
    wire::DiscoveryInfo info;
    if (!answer || !wire::parseDiscoveryAck(answer->payload, info)) return std::nullopt;
    return info;
  }
  uint16_t next() { return ++reqId_ ? reqId_ : ++reqId_; }
  UdpSocket& socket() { return socket_; }

 private:
  uint32_t ip_;
  uint16_t port_;
  uint16_t reqId_ = 0;
  UdpSocket socket_;
};

std::string testXml() {
  std::string xml = "<?xml version=\"1.0\"?>\n<RegisterDescription>";
  for (int i = 0; i < 100; ++i) xml += "<!-- padding line " + std::to_string(i) + " -->\n";
  return xml + "</RegisterDescription>\n";
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceConfig config;
    // In the private namespace the device sits on the GVCP port and receives
    // broadcasts; without it, an ephemeral port keeps it off everyone's way.
    inNetns_ = sim::netns::inPrivateNetwork();
    config.address = "127.0.0.2";
    config.gvcpPort = inNetns_ ? wire::kGvcpPort : 0;
    config.identity.mac = {0x02, 0x5A, 0x45, 0x4C, 0x00, 0x01};
    config.identity.manufacturer = "zelcam";
    config.identity.model = "test camera";
    config.identity.serialNumber = "T0001";
    config.identity.userName = "11";
    const std::string xml = testXml();
    config.xmlFileName = "test.xml";
    config.xmlFile.assign(xml.begin(), xml.end());
    device_ = std::make_unique<Device>(config, registers_);
    std::string error;
    ASSERT_TRUE(device_->start(&error)) << error;
    port_ = device_->gvcpPort();
  }
  Client client() { return Client(0x7F000002, port_); }

  bool inNetns_ = false;
  TestRegisters registers_;
  std::unique_ptr<Device> device_;
  uint16_t port_ = 0;
};

TEST_F(DeviceTest, DiscoveryAndForceIp) {
  Client c = client();
  auto info = c.discover();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->ip, 0x7F000002u);
  EXPECT_EQ(info->userName, "11");
  EXPECT_EQ(info->model, "test camera");
  EXPECT_EQ(info->mac, device_->config().identity.mac);

  // FORCEIP for another MAC is ignored; for ours it changes the answered address.
  wire::ForceIp force{{1, 2, 3, 4, 5, 6}, 0x7F000009, 0xFF000000, 0};
  auto other = wire::encodeForceIpCmd(c.next(), force);
  c.socket().sendTo(0x7F000002, port_, other);
  EXPECT_FALSE(c.socket().receive(200ms));
  force.mac = device_->config().identity.mac;
  auto answer = c.transact(wire::encodeForceIpCmd(c.next(), force));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.answer, wire::kForceIpAck);
  EXPECT_EQ(c.discover()->ip, 0x7F000009u);
  uint32_t ip = 0;
  EXPECT_EQ(c.read(wire::kRegCurrentIp, ip), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(ip, 0x7F000009u);

  // A second device on the same address is refused, not silently shared.
  DeviceConfig same = device_->config();
  same.gvcpPort = device_->gvcpPort();
  Device twin(same, registers_);
  std::string error;
  EXPECT_FALSE(twin.start(&error));
  EXPECT_NE(error.find("in use"), std::string::npos) << error;

  if (inNetns_) {  // a broadcast discovery, as Aravis sends it, reaches both devices of a head
    DeviceConfig second = device_->config();
    second.address = "127.0.0.3";
    second.identity.userName = "12";
    Device other(second, registers_);
    ASSERT_TRUE(other.start(&error)) << error;
    UdpSocket bc;
    int on = 1;
    ::setsockopt(bc.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    bc.sendTo(INADDR_BROADCAST, wire::kGvcpPort, wire::encodeDiscoveryCmd(77));
    std::set<std::string> names;
    while (auto got = bc.receive(300ms)) {
      wire::AckHeader h;
      std::span<const uint8_t> payload;
      wire::DiscoveryInfo found;
      ASSERT_TRUE(wire::parseAck(*got, h, payload));
      EXPECT_EQ(h.ackId, 77);
      ASSERT_TRUE(wire::parseDiscoveryAck(payload, found));
      names.insert(found.userName);
    }
    EXPECT_EQ(names, (std::set<std::string>{"11", "12"}));
  }

  // Late acknowledges arrive late, but they arrive.
  device_->setFaults(DeviceFaults{0, 250, 0, false});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(c.discover());
  EXPECT_GE(std::chrono::steady_clock::now() - before, 250ms);
  device_->setFaults(DeviceFaults{0, 0, 0, true});
  EXPECT_FALSE(c.discover(200ms));
}

TEST_F(DeviceTest, RegistersMemoryAndStatusCodes) {
  Client c = client();
  uint32_t v = 0;
  EXPECT_EQ(c.read(kWidth, v), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(v, 64u);
  EXPECT_EQ(c.write(kWidth, 320), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(c.read(kWidth, v), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(v, 320u);
  EXPECT_EQ(c.read(kWidth + 2, v), wire::GEV_STATUS_BAD_ALIGNMENT);
  EXPECT_EQ(c.read(0x30000, v), wire::GEV_STATUS_INVALID_ADDRESS);
  EXPECT_EQ(c.write(kReadOnly, 1), wire::GEV_STATUS_WRITE_PROTECT);
  EXPECT_EQ(c.write(wire::kRegVersion, 1), wire::GEV_STATUS_WRITE_PROTECT);
  EXPECT_EQ(c.write(wire::kRegCurrentIp, 1), wire::GEV_STATUS_WRITE_PROTECT);
  EXPECT_EQ(c.write(Device::kXmlAddress, 1), wire::GEV_STATUS_WRITE_PROTECT);
  EXPECT_EQ(c.read(wire::kRegVersion, v), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(v, 0x00010002u);
  EXPECT_EQ(c.read(wire::kRegTimestampFrequencyLow, v), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(v, 1'000'000'000u);

  // A READREG of several addresses stops at the first failure and returns
  // the values read before it.
  const uint32_t addresses[] = {kWidth, kHeight, 0x30000, kWidth};
  auto answer = c.transact(wire::encodeReadRegCmd(c.next(), addresses));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.status, wire::GEV_STATUS_INVALID_ADDRESS);
  EXPECT_EQ(answer->payload.size(), 8u);

  // The first URL names the file; reading it in 512-byte blocks gives it back.
  wire::Bytes data;
  ASSERT_EQ(c.readMem(wire::kRegFirstUrl, 512, data), wire::GEV_STATUS_SUCCESS);
  wire::XmlLocation where;
  ASSERT_TRUE(wire::parseXmlUrl(wire::urlText(data), where));
  ASSERT_EQ(where.kind, wire::XmlLocation::Kind::Local);
  EXPECT_EQ(where.name, "test.xml");
  EXPECT_EQ(where.address, Device::kXmlAddress);
  ASSERT_EQ(where.length, device_->config().xmlFile.size());
  wire::Bytes file;
  for (uint32_t at = 0; at < where.length; at += 512) {
    const auto count = static_cast<uint16_t>(std::min<uint32_t>(512, (where.length - at + 3) & ~3u));
    ASSERT_EQ(c.readMem(where.address + at, count, data), wire::GEV_STATUS_SUCCESS);
    file.insert(file.end(), data.begin(), data.end());
  }
  file.resize(where.length);
  EXPECT_EQ(file, device_->config().xmlFile);
  ASSERT_EQ(c.readMem(wire::kRegSecondUrl, 512, data), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(wire::urlText(data), "");
  EXPECT_EQ(c.readMem(wire::kRegFirstUrl, 540, data), wire::GEV_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.readMem(wire::kRegFirstUrl + 2, 8, data), wire::GEV_STATUS_BAD_ALIGNMENT);
  EXPECT_EQ(c.readMem(0x0FF0, 32, data), wire::GEV_STATUS_INVALID_ADDRESS);  // crosses the bootstrap end

  // The user-defined name is writable through WRITEMEM and shows in discovery.
  const uint8_t name[16] = {'1', '2'};
  auto written = c.transact(wire::encodeWriteMemCmd(c.next(), wire::kRegUserDefinedName, name));
  ASSERT_TRUE(written);
  EXPECT_EQ(written->header.status, wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(c.discover()->userName, "12");
  EXPECT_EQ(device_->userName(), "12");

  // A slow write is announced by PENDING, then acknowledged.
  bool pending = false;
  EXPECT_EQ(c.write(kSlow, 5, &pending), wire::GEV_STATUS_SUCCESS);
  EXPECT_TRUE(pending);
  // A malformed command gets INVALID_PARAMETER; an unknown one NOT_IMPLEMENTED.
  const uint8_t odd[6] = {};
  answer = c.transact(wire::encodeCommand(wire::kFlagAckRequired, wire::kReadRegCmd, c.next(), odd));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.status, wire::GEV_STATUS_INVALID_PARAMETER);
  answer = c.transact(wire::encodeCommand(wire::kFlagAckRequired, 0x0999, c.next()));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.status, wire::GEV_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(answer->header.answer, 0x099A);
}

TEST_F(DeviceTest, ControlPrivilegeAndHeartbeat) {
  Client a = client(), b = client();
  std::atomic<int> lost{0};
  device_->onControlLost([&] { ++lost; });
  EXPECT_EQ(a.write(wire::kRegCcp, wire::kCcpControl), wire::GEV_STATUS_SUCCESS);
  EXPECT_TRUE(device_->hasController());
  uint32_t v = 0;
  EXPECT_EQ(b.write(kWidth, 1), wire::GEV_STATUS_ACCESS_DENIED);
  EXPECT_EQ(b.write(wire::kRegCcp, wire::kCcpControl), wire::GEV_STATUS_ACCESS_DENIED);
  EXPECT_EQ(b.read(kWidth, v), wire::GEV_STATUS_SUCCESS);  // control lets others read
  EXPECT_EQ(a.write(wire::kRegCcp, wire::kCcpExclusive), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(b.read(kWidth, v), wire::GEV_STATUS_ACCESS_DENIED);  // exclusive does not
  EXPECT_EQ(a.write(wire::kRegHeartbeatTimeout, 100), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(a.read(wire::kRegHeartbeatTimeout, v), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(v, wire::kHeartbeatTimeoutMinMs);  // clamped to 500 ms
  // Heartbeats keep control...
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(a.read(wire::kRegCcp, v), wire::GEV_STATUS_SUCCESS);
  }
  EXPECT_TRUE(device_->hasController());
  EXPECT_EQ(lost.load(), 0);
  // ...silence loses it.
  std::this_thread::sleep_for(800ms);
  EXPECT_FALSE(device_->hasController());
  EXPECT_EQ(device_->counters().heartbeatTimeouts, 1u);
  EXPECT_EQ(lost.load(), 1);
  EXPECT_EQ(b.write(wire::kRegCcp, wire::kCcpControl), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(a.write(kWidth, 1), wire::GEV_STATUS_ACCESS_DENIED);
  EXPECT_EQ(b.write(wire::kRegCcp, 0), wire::GEV_STATUS_SUCCESS);  // released
  EXPECT_FALSE(device_->hasController());
  EXPECT_EQ(device_->counters().heartbeatTimeouts, 1u);
}

// Receives one block: packets by id until the trailer, or until quiet.
struct Block {
  std::map<uint32_t, wire::Bytes> payload;
  std::optional<wire::ImageLeader> leader;
  std::optional<wire::ImageTrailer> trailer;
  std::map<uint32_t, uint16_t> unavailable;
  uint64_t blockId = 0;
};

void receiveInto(UdpSocket& s, Block& block, std::chrono::milliseconds quiet) {
  while (auto got = s.receive(quiet)) {
    wire::GvspHeader h;
    std::span<const uint8_t> payload;
    ASSERT_TRUE(wire::parseGvspHeader(*got, h, payload));
    block.blockId = h.blockId;
    if (h.status == wire::GEV_STATUS_PACKET_UNAVAILABLE) {
      block.unavailable[h.packetId] = h.status;
      continue;
    }
    ASSERT_EQ(h.status, wire::GEV_STATUS_SUCCESS);
    if (h.format == wire::kFormatLeader) {
      wire::ImageLeader l;
      ASSERT_TRUE(wire::parseImageLeader(payload, l));
      block.leader = l;
    } else if (h.format == wire::kFormatTrailer) {
      wire::ImageTrailer t;
      ASSERT_TRUE(wire::parseImageTrailer(payload, t));
      block.trailer = t;
    } else {
      ASSERT_EQ(h.format, wire::kFormatPayload);
      block.payload[h.packetId].assign(payload.begin(), payload.end());
    }
  }
}

TEST_F(DeviceTest, StreamAndResend) {
  Client c = client();
  UdpSocket stream;
  const uint32_t width = 320, height = 240;
  std::vector<uint8_t> image(width * height);
  std::mt19937 random(5);
  for (auto& p : image) p = static_cast<uint8_t>(random());
  EXPECT_FALSE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));  // no destination yet

  ASSERT_EQ(c.write(wire::kRegCcp, wire::kCcpControl), wire::GEV_STATUS_SUCCESS);
  ASSERT_EQ(c.write(wire::kRegScda0, 0x7F000001), wire::GEV_STATUS_SUCCESS);
  ASSERT_EQ(c.write(wire::kRegScp0, stream.port()), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(c.write(wire::kRegScps0, 500), wire::GEV_STATUS_INVALID_PARAMETER);
  ASSERT_EQ(c.write(wire::kRegScps0, 1500), wire::GEV_STATUS_SUCCESS);
  EXPECT_EQ(c.write(wire::kRegScpd0, 20'000'000), wire::GEV_STATUS_INVALID_PARAMETER);  // 20 ms a packet
  ASSERT_EQ(c.write(wire::kRegScpd0, 10'000), wire::GEV_STATUS_SUCCESS);                // 10 us a packet
  const uint32_t perPacket = wire::payloadBytesPerPacket(1500);
  const uint32_t packets = (width * height + perPacket - 1) / perPacket;

  auto check = [&](const Block& block) {
    ASSERT_TRUE(block.leader);
    EXPECT_EQ(block.leader->width, width);
    EXPECT_EQ(block.leader->height, height);
    EXPECT_EQ(block.leader->pixelFormat, wire::kPixelMono8);
    ASSERT_TRUE(block.trailer);
    EXPECT_EQ(block.trailer->height, height);
    ASSERT_EQ(block.payload.size(), packets);
    std::vector<uint8_t> got;
    for (const auto& [id, bytes] : block.payload) {
      EXPECT_EQ(id, got.size() / perPacket + 1);
      got.insert(got.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(got, image);
  };

  ASSERT_TRUE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));
  Block first;
  receiveInto(stream, first, 100ms);
  EXPECT_EQ(first.blockId, 1u);
  check(first);

  // Lost packets come back on request.
  device_->setFaults(DeviceFaults{0.2, 0, 0, false});
  for (auto& p : image) p = static_cast<uint8_t>(random());
  ASSERT_TRUE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));
  Block second;
  receiveInto(stream, second, 100ms);
  EXPECT_EQ(second.blockId, 2u);
  const uint64_t dropped = device_->counters().packetsDropped;
  ASSERT_GT(dropped, 0u);
  EXPECT_EQ(second.payload.size() + dropped, packets);
  for (uint32_t id = 1; id <= packets; ++id) {
    if (second.payload.count(id)) continue;
    c.socket().sendTo(0x7F000002, port_,
                      wire::encodePacketResendCmd(c.next(), wire::PacketResend{0, 2, id, id, false}));
  }
  receiveInto(stream, second, 100ms);
  check(second);
  EXPECT_EQ(device_->counters().packetsResent, dropped);

  // An incomplete frame: its lost packets are gone for good.
  device_->setFaults(DeviceFaults{0, 0, 1.0, false});
  ASSERT_TRUE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));
  Block third;
  receiveInto(stream, third, 100ms);
  ASSERT_EQ(third.payload.size(), packets - 1);
  uint32_t missing = 1;
  while (third.payload.count(missing)) ++missing;
  c.socket().sendTo(0x7F000002, port_,
                    wire::encodePacketResendCmd(c.next(), wire::PacketResend{0, 3, missing, missing, false}));
  receiveInto(stream, third, 100ms);
  EXPECT_EQ(third.unavailable.count(missing), 1u);
  EXPECT_EQ(device_->counters().framesSent, 3u);

  // Losing control stops the stream.
  ASSERT_EQ(c.write(wire::kRegCcp, 0), wire::GEV_STATUS_SUCCESS);
  EXPECT_FALSE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));
}

}  // namespace
}  // namespace sim::gige
