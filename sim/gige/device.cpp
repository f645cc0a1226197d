#include "sim/gige/device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/byte_order.h"
#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"

namespace sim::gige {

namespace wire = gevlink::wire;
using Clock = std::chrono::steady_clock;

namespace {

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// What a PENDING acknowledge promises (ms) and the pending time-out register
// reports: slow feature writes must finish within it.
constexpr uint16_t kPendingTimeMs = 2000;
// Packet sizes (SCPS, IP and UDP headers included) the stream accepts.
constexpr uint32_t kMinPacketSize = 576;
constexpr uint32_t kDefaultPacketSize = 1500;
// Largest image a frame may carry (bytes): 16-bit Mono at 8 k x 8 k.
constexpr uint64_t kMaxImageBytes = 128ull << 20;
constexpr size_t kBatch = 64;  // packets per sendmmsg

bool sameApp(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Bytes of an image: bits per pixel are bits 23..16 of a GenICam pixel format.
uint64_t imageBytes(uint32_t width, uint32_t height, uint32_t pixelFormat) {
  const uint64_t bits = (pixelFormat >> 16) & 0xFF;
  return (uint64_t{width} * height * (bits ? bits : 8) + 7) / 8;
}

void sleepUntilNs(int64_t deadline) {
  const int64_t now = steadyNs();
  if (deadline <= now) return;
  timespec ts{static_cast<time_t>((deadline - now) / 1'000'000'000),
              static_cast<long>((deadline - now) % 1'000'000'000)};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

// ---- RegisterSpace defaults, TimestampClock --------------------------------

uint16_t RegisterSpace::readMemory(uint32_t address, uint8_t* out, uint32_t length) {
  if (address % 4 != 0 || length % 4 != 0) return wire::GEV_STATUS_INVALID_ADDRESS;
  for (uint32_t i = 0; i < length; i += 4) {
    uint32_t value = 0;
    uint16_t status = readRegister(address + i, value);
    if (status != wire::GEV_STATUS_SUCCESS) return status;
    wire::put32(out + i, value);
  }
  return wire::GEV_STATUS_SUCCESS;
}

uint16_t RegisterSpace::writeMemory(uint32_t address, const uint8_t* data, uint32_t length) {
  if (address % 4 != 0 || length % 4 != 0) return wire::GEV_STATUS_INVALID_ADDRESS;
  for (uint32_t i = 0; i < length; i += 4) {
    uint16_t status = writeRegister(address + i, wire::get32(data + i));
    if (status != wire::GEV_STATUS_SUCCESS) return status;
  }
  return wire::GEV_STATUS_SUCCESS;
}

TimestampClock::TimestampClock(uint64_t ticksPerSecond)
    : frequency_(ticksPerSecond == 0 ? 1'000'000'000 : ticksPerSecond), originNs_(steadyNs()) {}

uint64_t TimestampClock::now() const {
  const int64_t ns = steadyNs() - originNs_.load();
  if (ns <= 0) return 0;
  // ticks = ns * f / 1e9 without overflow for any run time of this process
  return static_cast<uint64_t>(static_cast<unsigned __int128>(ns) * frequency_ / 1'000'000'000u);
}

void TimestampClock::reset() { originNs_.store(steadyNs()); }

// ---- the device --------------------------------------------------------------

struct Device::Impl {
  Impl(DeviceConfig c, RegisterSpace& f) : config(std::move(c)), features(f) {
    clock = config.clock ? config.clock : std::make_shared<TimestampClock>();
    config.clock = clock;
    wire::putText(userNameBytes.data(), userNameBytes.size(), config.identity.userName);
    if (!config.xmlFile.empty()) {
      url = wire::localXmlUrl(config.xmlFileName, kXmlAddress, static_cast<uint32_t>(config.xmlFile.size()));
      // Clients read in whole words or blocks: the region ends a page past the
      // file and reads zeros beyond its end.
      xmlSpan = (static_cast<uint64_t>(config.xmlFile.size()) + 0xFFF) & ~uint64_t{0xFFF};
    }
    history.resize(std::max(1u, config.frameHistory));
    msgs.resize(kBatch);
    iovs.resize(kBatch * 2);
    headers.resize(kBatch);
  }

  DeviceConfig config;
  RegisterSpace& features;
  std::shared_ptr<TimestampClock> clock;
  std::string url;
  uint64_t xmlSpan = 0;

  int gvcpFd = -1, broadcastFd = -1, streamFd = -1, wakeFd = -1;
  uint32_t boundIp = 0;  // host order
  uint16_t boundPort = 0, streamSourcePort = 0;
  std::thread thread;
  std::atomic<bool> running{false};

  // Everything below up to the history is guarded by mutex.
  mutable std::mutex mutex;
  uint32_t answeredIp = 0, subnet = 0xFF000000, gateway = 0;
  std::array<uint8_t, 16> userNameBytes{};
  bool controlled = false;
  sockaddr_in controller{};
  uint32_t ccp = 0;
  Clock::time_point lastHeard{};
  uint32_t heartbeatMs = wire::kHeartbeatTimeoutDefaultMs;
  uint32_t gvcpConfig = 0;
  uint32_t scp = 0, scps = kDefaultPacketSize, scpd = 0, scda = 0, sccfg = 0;
  uint64_t latchedTimestamp = 0;
  DeviceFaults faults;
  DeviceCounters counters;
  std::function<void()> controlLostCallback;

  // Frames kept for PACKETRESEND. A slot is rewritten only under
  // historyMutex; the GVCP thread holds it while it resends from a slot.
  struct Frame {
    bool valid = false;
    uint16_t blockId = 0;
    std::vector<uint8_t> image;
    uint32_t width = 0, height = 0, pixelFormat = 0;
    uint64_t timestamp = 0;
    uint32_t dataPerPacket = 0, payloadPackets = 0;
    std::vector<uint8_t> state;  // per packet id: 0 sent, 1 dropped (resendable), 2 gone
  };
  std::mutex historyMutex;
  std::vector<Frame> history;
  size_t nextSlot = 0;

  // sendFrame's own (sendMutex): block counter, batch buffers, loss dice.
  std::mutex sendMutex;
  uint16_t lastBlockId = 0;
  std::vector<mmsghdr> msgs;
  std::vector<iovec> iovs;
  std::vector<std::array<uint8_t, wire::kGvspHeaderSize>> headers;
  std::array<uint8_t, 64> leaderPacket{}, trailerPacket{};
  std::minstd_rand dice{20251208};

  // ---- sockets ----
  bool open(std::string* error);
  void closeAll();
  void run();
  void reply(const sockaddr_in& to, const wire::Bytes& bytes);
  void handle(std::span<const uint8_t> datagram, const sockaddr_in& from, bool broadcast);
  void checkHeartbeat();

  // ---- register access; all under mutex ----
  bool isController(const sockaddr_in& from) const { return controlled && sameApp(from, controller); }
  bool mayRead(const sockaddr_in& from) const {
    return !controlled || (ccp & wire::kCcpExclusive) == 0 || isController(from);
  }
  bool mayWrite(const sockaddr_in& from) const { return !controlled || isController(from); }
  void loseControl(bool& lost) {
    controlled = false;
    ccp = 0;
    // Streaming stops with control: the next controller sets its destination.
    scp = 0;
    scda = 0;
    lost = true;
  }
  wire::DiscoveryInfo discoveryInfo() const;
  uint16_t readBootstrap(uint32_t address, uint32_t& value) const;
  uint16_t writeBootstrap(uint32_t address, uint32_t value, const sockaddr_in& from, bool& notify);
  bool inXml(uint32_t address, uint32_t length) const {
    return xmlSpan != 0 && address >= kXmlAddress && uint64_t{address} + length <= kXmlAddress + xmlSpan;
  }
  void readXml(uint32_t address, uint8_t* out, uint32_t length) const {
    for (uint32_t i = 0; i < length; ++i) {
      const uint64_t at = uint64_t{address} - kXmlAddress + i;
      out[i] = at < config.xmlFile.size() ? config.xmlFile[at] : 0;
    }
  }

  // ---- commands ----
  enum class Region { Bootstrap, Xml, Features, Crossing };
  Region regionOf(uint32_t address, uint32_t length) const;
  uint16_t readWord(uint32_t address, uint32_t& value);
  uint16_t writeWord(uint32_t address, uint32_t value, const sockaddr_in& from, bool& notify);
  bool allowedToRead(const sockaddr_in& from) const;
  void onReadReg(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from);
  void onWriteReg(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from);
  void onReadMem(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from);
  void onWriteMem(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from);
  void onResend(const wire::CommandHeader& h, std::span<const uint8_t> payload);
  void fireTestPacket(uint32_t packetSize);
  void notifyControl();

  // ---- stream ----
  bool sendBatch(size_t count);
  sockaddr_in streamDestination(uint32_t& packetSize) const;
};

wire::DiscoveryInfo Device::Impl::discoveryInfo() const {
  wire::DiscoveryInfo info;
  info.versionMajor = 1;
  info.versionMinor = 2;
  info.deviceMode = wire::kDeviceModeBigEndian | wire::kDeviceModeCharsetUtf8;
  info.mac = config.identity.mac;
  info.ipConfigOptions = wire::kIpConfigLla;
  info.ipConfigCurrent = wire::kIpConfigLla;
  info.ip = answeredIp;
  info.subnet = subnet;
  info.gateway = gateway;
  info.manufacturer = config.identity.manufacturer;
  info.model = config.identity.model;
  info.deviceVersion = config.identity.deviceVersion;
  info.manufacturerInfo = config.identity.manufacturerInfo;
  info.serialNumber = config.identity.serialNumber;
  info.userName = wire::getText(userNameBytes.data(), userNameBytes.size());
  return info;
}

uint16_t Device::Impl::readBootstrap(uint32_t a, uint32_t& v) const {
  using namespace wire;
  v = 0;
  if (a < 0x0100) {  // the discovery record's fields, byte for byte
    uint8_t record[kDiscoveryRecordSize];
    writeDiscoveryRecord(discoveryInfo(), record);
    if (a + 4 <= kDiscoveryRecordSize) v = get32(record + a);
    return GEV_STATUS_SUCCESS;
  }
  if (a >= kRegFirstUrl && a < kRegFirstUrl + kUrlSize) {
    uint8_t bytes[4] = {};
    for (uint32_t i = 0; i < 4; ++i) {
      const size_t at = a - kRegFirstUrl + i;
      bytes[i] = at < url.size() ? static_cast<uint8_t>(url[at]) : 0;
    }
    v = get32(bytes);
    return GEV_STATUS_SUCCESS;
  }
  switch (a) {
    case kRegNumberOfInterfaces: v = 1; break;
    case kRegPersistentIp: v = answeredIp; break;
    case kRegPersistentSubnet: v = subnet; break;
    case kRegPersistentGateway: v = gateway; break;
    case kRegLinkSpeed: v = 1000; break;  // Mbit/s
    case kRegNumberOfStreamChannels: v = 1; break;
    case kRegGvspCapability: v = kGvspCapScsp; break;
    case kRegGvcpCapability:
      v = kGvcpCapUserDefinedName | kGvcpCapSerialNumber | kGvcpCapHeartbeatDisable | kGvcpCapPendingAck |
          kGvcpCapPacketResend | kGvcpCapWriteMem;
      break;
    case kRegHeartbeatTimeout: v = heartbeatMs; break;
    case kRegTimestampFrequencyHigh: v = static_cast<uint32_t>(clock->frequency() >> 32); break;
    case kRegTimestampFrequencyLow: v = static_cast<uint32_t>(clock->frequency()); break;
    case kRegTimestampValueHigh: v = static_cast<uint32_t>(latchedTimestamp >> 32); break;
    case kRegTimestampValueLow: v = static_cast<uint32_t>(latchedTimestamp); break;
    case kRegGvcpConfiguration: v = gvcpConfig; break;
    case kRegPendingTimeout: v = kPendingTimeMs; break;
    case kRegCcp: v = ccp; break;
    case kRegPrimaryApplicationPort: v = controlled ? ntohs(controller.sin_port) : 0; break;
    case kRegPrimaryApplicationIp: v = controlled ? ntohl(controller.sin_addr.s_addr) : 0; break;
    case kRegScp0: v = scp; break;
    case kRegScps0: v = scps; break;
    case kRegScpd0: v = scpd; break;
    case kRegScda0: v = scda; break;
    case kRegScsp0: v = streamSourcePort; break;
    case kRegSccfg0: v = sccfg; break;
    default:
      // Other bootstrap words (reserved, message channel, the second URL,
      // which stays empty) read as 0; beyond stream channel 0 nothing exists.
      if (a >= kRegScp0 + kStreamChannelStride) return GEV_STATUS_INVALID_ADDRESS;
      break;
  }
  return GEV_STATUS_SUCCESS;
}

uint16_t Device::Impl::writeBootstrap(uint32_t a, uint32_t v, const sockaddr_in& from, bool& notify) {
  using namespace wire;
  if (a == kRegCcp) {
    if (controlled && !isController(from)) return GEV_STATUS_ACCESS_DENIED;
    if (v & (kCcpExclusive | kCcpControl)) {
      controlled = true;
      controller = from;
      ccp = v;
      lastHeard = Clock::now();
    } else if (controlled) {
      loseControl(notify);
    }
    return GEV_STATUS_SUCCESS;
  }
  if (!mayWrite(from)) return GEV_STATUS_ACCESS_DENIED;
  if (a >= kRegUserDefinedName && a < kRegUserDefinedName + kUserDefinedNameSize) {
    put32(userNameBytes.data() + (a - kRegUserDefinedName), v);
    return GEV_STATUS_SUCCESS;
  }
  switch (a) {
    case kRegHeartbeatTimeout: heartbeatMs = std::max(v, kHeartbeatTimeoutMinMs); return GEV_STATUS_SUCCESS;
    case kRegTimestampControl:
      if (v & kTimestampControlReset) clock->reset();
      if (v & kTimestampControlLatch) latchedTimestamp = clock->now();
      return GEV_STATUS_SUCCESS;
    case kRegGvcpConfiguration: gvcpConfig = v; return GEV_STATUS_SUCCESS;
    case kRegScp0:
      scp = v & kScpPortMask;
      notify = true;
      return GEV_STATUS_SUCCESS;
    case kRegScps0: {
      const uint32_t size = v & kScpsPacketSizeMask;
      if (size < kMinPacketSize) return GEV_STATUS_INVALID_PARAMETER;
      scps = v & ~kScpsFireTestPacket;
      notify = true;
      if (v & kScpsFireTestPacket) fireTestPacket(size);
      return GEV_STATUS_SUCCESS;
    }
    case kRegScpd0:
      // At most 10 ms between packets: a larger delay would make one frame
      // take minutes and hold the sending thread that long.
      if (v > clock->frequency() / 100) return GEV_STATUS_INVALID_PARAMETER;
      scpd = v;
      return GEV_STATUS_SUCCESS;
    case kRegScda0:
      scda = v;
      notify = true;
      return GEV_STATUS_SUCCESS;
    case kRegSccfg0: sccfg = v; return GEV_STATUS_SUCCESS;
    default: return GEV_STATUS_WRITE_PROTECT;
  }
}

void Device::Impl::fireTestPacket(uint32_t packetSize) {
  // The client checks that a datagram of packetSize - 28 bytes (IP and UDP
  // headers off) arrives at its stream port; the content is not examined.
  if (scda == 0 || (scp & wire::kScpPortMask) == 0 || packetSize <= wire::kIpUdpOverhead) return;
  std::vector<uint8_t> packet(packetSize - wire::kIpUdpOverhead, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(scda);
  to.sin_port = htons(static_cast<uint16_t>(scp & wire::kScpPortMask));
  ::sendto(streamFd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool Device::Impl::open(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    closeAll();
    return false;
  };
  in_addr addr{};
  if (::inet_pton(AF_INET, config.address.c_str(), &addr) != 1) {
    if (error) *error = "not an IPv4 address: \"" + config.address + "\"";
    return false;
  }
  boundIp = ntohl(addr.s_addr);
  answeredIp = boundIp;
  int on = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(config.gvcpPort);
  // No SO_REUSEADDR here: with it a second device (or a stale zelsim) on the
  // same address would bind too and silently take half the commands; a clear
  // "address in use" is better. Only the broadcast socket below shares.
  gvcpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (gvcpFd < 0) return fail("socket");
  if (::bind(gvcpFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    return fail("bind GVCP " + config.address + ":" + std::to_string(config.gvcpPort));
  socklen_t len = sizeof sa;
  ::getsockname(gvcpFd, reinterpret_cast<sockaddr*>(&sa), &len);
  boundPort = ntohs(sa.sin_port);
  if (config.gvcpPort != 0) {
    // Discovery broadcasts go to 255.255.255.255:3956; every device of the
    // head binds that too (SO_REUSEADDR: each one receives each broadcast).
    broadcastFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (broadcastFd < 0) return fail("socket");
    ::setsockopt(broadcastFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bc{};
    bc.sin_family = AF_INET;
    bc.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    bc.sin_port = htons(config.gvcpPort);
    if (::bind(broadcastFd, reinterpret_cast<sockaddr*>(&bc), sizeof bc) != 0)
      return fail("bind GVCP broadcast 255.255.255.255:" + std::to_string(config.gvcpPort));
  }
  streamFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (streamFd < 0) return fail("socket");
  int sndbuf = 4 << 20;
  ::setsockopt(streamFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  sockaddr_in st{};
  st.sin_family = AF_INET;
  st.sin_addr = addr;
  if (::bind(streamFd, reinterpret_cast<sockaddr*>(&st), sizeof st) != 0) return fail("bind GVSP");
  len = sizeof st;
  ::getsockname(streamFd, reinterpret_cast<sockaddr*>(&st), &len);
  streamSourcePort = ntohs(st.sin_port);
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) return fail("eventfd");
  return true;
}

void Device::Impl::closeAll() {
  for (int* fd : {&gvcpFd, &broadcastFd, &streamFd, &wakeFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void Device::Impl::reply(const sockaddr_in& to, const wire::Bytes& bytes) {
  int delayMs;
  {
    std::lock_guard lock(mutex);
    delayMs = faults.ackDelayMs;
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(delayMs, 10'000)));
  ::sendto(gvcpFd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void Device::Impl::notifyControl() {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex);
    callback = controlLostCallback;
  }
  if (callback) callback();
}

void Device::Impl::checkHeartbeat() {
  bool lost = false;
  {
    std::lock_guard lock(mutex);
    if (controlled && (gvcpConfig & wire::kGvcpConfigHeartbeatDisable) == 0 &&
        Clock::now() - lastHeard > std::chrono::milliseconds(heartbeatMs)) {
      loseControl(lost);
      ++counters.heartbeatTimeouts;
    }
  }
  if (lost) notifyControl();
}

void Device::Impl::run() {
  std::vector<uint8_t> buffer(2048);
  while (running.load()) {
    int timeoutMs = 1000;
    {
      std::lock_guard lock(mutex);
      if (controlled) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            lastHeard + std::chrono::milliseconds(heartbeatMs) - Clock::now());
        timeoutMs = static_cast<int>(std::clamp<int64_t>(left.count() + 1, 1, 1000));
      }
    }
    pollfd fds[3] = {{wakeFd, POLLIN, 0}, {gvcpFd, POLLIN, 0}, {broadcastFd, POLLIN, 0}};
    const int n = ::poll(fds, broadcastFd >= 0 ? 3 : 2, timeoutMs);
    checkHeartbeat();
    if (n <= 0) continue;
    for (int i = 1; i < 3; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & POLLIN)) continue;
      for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) break;                                      // EAGAIN: all read
        if (static_cast<size_t>(got) > buffer.size()) continue;  // no GVCP datagram is this long
        handle(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)), from, i == 2);
      }
    }
  }
}

void Device::Impl::handle(std::span<const uint8_t> datagram, const sockaddr_in& from, bool broadcast) {
  wire::CommandHeader h;
  std::span<const uint8_t> payload;
  {
    std::lock_guard lock(mutex);
    if (faults.vanished) return;
  }
  if (!wire::parseCommand(datagram, h, payload)) return;  // not GVCP: no answer
  {
    std::lock_guard lock(mutex);
    ++counters.gvcpCommands;
    if (isController(from)) lastHeard = Clock::now();
  }
  const bool ack = (h.flags & wire::kFlagAckRequired) != 0;
  switch (h.command) {
    case wire::kDiscoveryCmd: {
      wire::Bytes answer;
      {
        std::lock_guard lock(mutex);
        answer = wire::encodeDiscoveryAck(h.reqId, discoveryInfo());
      }
      reply(from, answer);
      return;
    }
    case wire::kForceIpCmd: {
      // Only the device whose MAC is named answers. It then reports the new
      // address in discovery and its bootstrap registers but keeps listening
      // where it was bound: a virtual device has no interface to re-address.
      wire::ForceIp force;
      if (!wire::parseForceIpCmd(payload, force) || force.mac != config.identity.mac) return;
      {
        std::lock_guard lock(mutex);
        if (force.ip != 0) {
          answeredIp = force.ip;
          subnet = force.subnet;
          gateway = force.gateway;
        }
      }
      if (ack) reply(from, wire::encodeAck(wire::GEV_STATUS_SUCCESS, wire::kForceIpAck, h.reqId));
      return;
    }
    default: break;
  }
  if (broadcast) return;  // only discovery and FORCEIP are meant for everyone
  switch (h.command) {
    case wire::kReadRegCmd: onReadReg(h, payload, from); return;
    case wire::kWriteRegCmd: onWriteReg(h, payload, from); return;
    case wire::kReadMemCmd: onReadMem(h, payload, from); return;
    case wire::kWriteMemCmd: onWriteMem(h, payload, from); return;
    case wire::kPacketResendCmd: onResend(h, payload); return;
    default:
      if (ack)
        reply(from, wire::encodeAck(wire::GEV_STATUS_NOT_IMPLEMENTED, static_cast<uint16_t>(h.command + 1), h.reqId));
  }
}

// Feature registers are called without the device's mutex held: a kind may
// take its time (slow writes) or ask the device for its state meanwhile.
uint16_t Device::Impl::readWord(uint32_t a, uint32_t& v) {
  v = 0;
  if (a % 4 != 0) return wire::GEV_STATUS_BAD_ALIGNMENT;
  if (a < wire::kBootstrapSize) {
    std::lock_guard lock(mutex);
    return readBootstrap(a, v);
  }
  if (inXml(a, 4)) {
    uint8_t bytes[4];
    readXml(a, bytes, 4);
    v = wire::get32(bytes);
    return wire::GEV_STATUS_SUCCESS;
  }
  return features.readRegister(a, v);
}

uint16_t Device::Impl::writeWord(uint32_t a, uint32_t v, const sockaddr_in& from, bool& notify) {
  if (a % 4 != 0) return wire::GEV_STATUS_BAD_ALIGNMENT;
  {
    std::lock_guard lock(mutex);
    if (a < wire::kBootstrapSize) return writeBootstrap(a, v, from, notify);
    if (!mayWrite(from)) return wire::GEV_STATUS_ACCESS_DENIED;
  }
  if (inXml(a, 4)) return wire::GEV_STATUS_WRITE_PROTECT;
  return features.writeRegister(a, v);
}

bool Device::Impl::allowedToRead(const sockaddr_in& from) const {
  std::lock_guard lock(mutex);
  return mayRead(from);
}

void Device::Impl::onReadReg(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from) {
  const bool ack = (h.flags & wire::kFlagAckRequired) != 0;
  std::vector<uint32_t> addresses, values;
  if (!wire::parseReadRegCmd(payload, addresses)) {
    if (ack) reply(from, wire::encodeReadRegAck(h.reqId, wire::GEV_STATUS_INVALID_PARAMETER, {}));
    return;
  }
  uint16_t status = allowedToRead(from) ? wire::GEV_STATUS_SUCCESS : wire::GEV_STATUS_ACCESS_DENIED;
  for (uint32_t a : addresses) {
    if (status != wire::GEV_STATUS_SUCCESS) break;
    uint32_t v = 0;
    status = readWord(a, v);
    if (status == wire::GEV_STATUS_SUCCESS) values.push_back(v);
  }
  if (ack) reply(from, wire::encodeReadRegAck(h.reqId, status, values));
}

void Device::Impl::onWriteReg(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from) {
  const bool ack = (h.flags & wire::kFlagAckRequired) != 0;
  std::vector<wire::RegisterWrite> writes;
  if (!wire::parseWriteRegCmd(payload, writes)) {
    if (ack) reply(from, wire::encodeWriteRegAck(h.reqId, wire::GEV_STATUS_INVALID_PARAMETER, 0));
    return;
  }
  bool slow = false;
  for (const auto& w : writes) slow = slow || (w.address >= wire::kBootstrapSize && features.isSlowWrite(w.address));
  if (slow && ack) reply(from, wire::encodePendingAck(h.reqId, kPendingTimeMs));
  uint16_t status = wire::GEV_STATUS_SUCCESS;
  uint16_t done = 0;
  bool notify = false;
  for (const auto& w : writes) {
    status = writeWord(w.address, w.value, from, notify);
    if (status != wire::GEV_STATUS_SUCCESS) break;
    ++done;
  }
  if (notify) notifyControl();
  if (ack) reply(from, wire::encodeWriteRegAck(h.reqId, status, done));
}

// A block [address, address + length) lies wholly in the bootstrap block, the
// GenICam file, or the feature space; one that crosses a border is refused.
Device::Impl::Region Device::Impl::regionOf(uint32_t address, uint32_t length) const {
  const uint64_t end = uint64_t{address} + length;
  if (end <= wire::kBootstrapSize) return Region::Bootstrap;
  if (inXml(address, length)) return Region::Xml;
  if (address < wire::kBootstrapSize) return Region::Crossing;
  if (xmlSpan != 0 && address < kXmlAddress + xmlSpan && end > kXmlAddress) return Region::Crossing;
  return Region::Features;
}

void Device::Impl::onReadMem(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from) {
  uint32_t address = 0;
  uint16_t count = 0;
  uint16_t status = wire::GEV_STATUS_SUCCESS;
  std::vector<uint8_t> data;
  if (!wire::parseReadMemCmd(payload, address, count) || count == 0 || count > wire::kMaxMemoryBlock) {
    status = wire::GEV_STATUS_INVALID_PARAMETER;
  } else if (address % 4 != 0 || count % 4 != 0) {
    status = wire::GEV_STATUS_BAD_ALIGNMENT;
  } else if (!allowedToRead(from)) {
    status = wire::GEV_STATUS_ACCESS_DENIED;
  } else {
    data.resize(count);
    switch (regionOf(address, count)) {
      case Region::Bootstrap: {
        std::lock_guard lock(mutex);
        for (uint32_t i = 0; i < count && status == wire::GEV_STATUS_SUCCESS; i += 4) {
          uint32_t v = 0;
          status = readBootstrap(address + i, v);
          wire::put32(&data[i], v);
        }
        break;
      }
      case Region::Xml: readXml(address, data.data(), count); break;
      case Region::Crossing: status = wire::GEV_STATUS_INVALID_ADDRESS; break;
      case Region::Features: status = features.readMemory(address, data.data(), count); break;
    }
  }
  if (status != wire::GEV_STATUS_SUCCESS) data.clear();
  if (h.flags & wire::kFlagAckRequired) reply(from, wire::encodeReadMemAck(h.reqId, status, address, data));
}

void Device::Impl::onWriteMem(const wire::CommandHeader& h, std::span<const uint8_t> payload, const sockaddr_in& from) {
  const bool ack = (h.flags & wire::kFlagAckRequired) != 0;
  uint32_t address = 0;
  std::span<const uint8_t> data;
  uint16_t status = wire::GEV_STATUS_SUCCESS;
  uint16_t written = 0;
  bool notify = false;
  if (!wire::parseWriteMemCmd(payload, address, data) || data.size() > wire::kMaxMemoryBlock) {
    status = wire::GEV_STATUS_INVALID_PARAMETER;
  } else if (address % 4 != 0 || data.size() % 4 != 0) {
    status = wire::GEV_STATUS_BAD_ALIGNMENT;
  } else {
    const auto length = static_cast<uint32_t>(data.size());
    switch (regionOf(address, length)) {
      case Region::Bootstrap:
        for (uint32_t i = 0; i < length; i += 4) {
          status = writeWord(address + i, wire::get32(&data[i]), from, notify);
          if (status != wire::GEV_STATUS_SUCCESS) break;
          written = static_cast<uint16_t>(written + 4);
        }
        break;
      case Region::Xml: status = wire::GEV_STATUS_WRITE_PROTECT; break;
      case Region::Crossing: status = wire::GEV_STATUS_INVALID_ADDRESS; break;
      case Region::Features: {
        bool allowed;
        {
          std::lock_guard lock(mutex);
          allowed = mayWrite(from);
        }
        if (!allowed) {
          status = wire::GEV_STATUS_ACCESS_DENIED;
          break;
        }
        if (features.isSlowWrite(address) && ack) reply(from, wire::encodePendingAck(h.reqId, kPendingTimeMs));
        status = features.writeMemory(address, data.data(), length);
        if (status == wire::GEV_STATUS_SUCCESS) written = static_cast<uint16_t>(length);
        break;
      }
    }
  }
  if (notify) notifyControl();
  if (ack) reply(from, wire::encodeWriteMemAck(h.reqId, status, written));
}

sockaddr_in Device::Impl::streamDestination(uint32_t& packetSize) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(scda);
  to.sin_port = htons(static_cast<uint16_t>(scp & wire::kScpPortMask));
  packetSize = scps & wire::kScpsPacketSizeMask;
  return to;
}

void Device::Impl::onResend(const wire::CommandHeader& h, std::span<const uint8_t> payload) {
  wire::PacketResend r;
  if (!wire::parsePacketResendCmd(h.flags, payload, r) || r.channel != 0 || r.extendedId) return;
  sockaddr_in to;
  uint32_t packetSize;
  {
    std::lock_guard lock(mutex);
    if (scda == 0 || (scp & wire::kScpPortMask) == 0) return;
    to = streamDestination(packetSize);
  }
  std::array<uint8_t, 64> head{};
  uint64_t resent = 0;
  auto send = [&](size_t headSize, const uint8_t* data, size_t dataSize) {
    iovec iov[2] = {{head.data(), headSize}, {const_cast<uint8_t*>(data), dataSize}};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = iov;
    msg.msg_iovlen = dataSize ? 2 : 1;
    ::sendmsg(streamFd, &msg, 0);
  };
  std::lock_guard lock(historyMutex);
  const Frame* frame = nullptr;
  for (const Frame& f : history)
    if (f.valid && f.blockId == static_cast<uint16_t>(r.blockId)) frame = &f;
  const uint32_t lastId = frame ? frame->payloadPackets + 1 : r.lastPacket;
  const uint32_t last = std::min(r.lastPacket, lastId);
  // A request for packets no longer kept gets one "unavailable" packet each
  // (at most 256 for a block no longer kept, so a bad request cannot flood
  // the link).
  const uint32_t cap = frame ? 0x1000000u : 256u;
  for (uint32_t id = r.firstPacket; id <= last && id - r.firstPacket < cap; ++id) {
    if (!frame || frame->state[id] == 2) {
      wire::GvspHeader gone{wire::GEV_STATUS_PACKET_UNAVAILABLE, r.blockId,
                            id == 0 ? wire::kFormatLeader : wire::kFormatPayload, id, false};
      send(wire::writeGvspHeader(head, gone), nullptr, 0);
      continue;
    }
    if (id == 0) {
      wire::ImageLeader leader;
      leader.timestamp = frame->timestamp;
      leader.pixelFormat = frame->pixelFormat;
      leader.width = frame->width;
      leader.height = frame->height;
      send(wire::writeImageLeader(head, frame->blockId, false, leader), nullptr, 0);
    } else if (id == lastId) {
      send(wire::writeImageTrailer(head, frame->blockId, id, false,
                                   wire::ImageTrailer{wire::kPayloadTypeImage, frame->height}),
           nullptr, 0);
    } else {
      const size_t offset = size_t{id - 1} * frame->dataPerPacket;
      const size_t size = std::min<size_t>(frame->dataPerPacket, frame->image.size() - offset);
      send(wire::writeGvspHeader(
               head, wire::GvspHeader{wire::GEV_STATUS_SUCCESS, frame->blockId, wire::kFormatPayload, id, false}),
           frame->image.data() + offset, size);
    }
    ++resent;
  }
  std::lock_guard counterLock(mutex);
  counters.packetsResent += resent;
}

bool Device::Impl::sendBatch(size_t count) {
  size_t done = 0;
  int retries = 0;
  while (done < count) {
    const int sent = ::sendmmsg(streamFd, &msgs[done], static_cast<unsigned>(count - done), 0);
    if (sent < 0) {
      if ((errno == EINTR || errno == ENOBUFS || errno == EAGAIN) && ++retries < 1000) {
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(sent);
  }
  return true;
}

// ---- Device ------------------------------------------------------------------

Device::Device(DeviceConfig config, RegisterSpace& features)
    : impl_(std::make_unique<Impl>(std::move(config), features)) {}

Device::~Device() { stop(); }

bool Device::start(std::string* error) {
  if (impl_->running.load()) return true;
  if (!impl_->open(error)) return false;
  impl_->running.store(true);
  impl_->thread = std::thread([this] { impl_->run(); });
  return true;
}

void Device::stop() {
  if (!impl_->running.exchange(false)) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(impl_->wakeFd, &one, sizeof one);
  if (impl_->thread.joinable()) impl_->thread.join();
  // A frame being sent on another thread ends first (a paced one stops at
  // its next pause), so that no send uses a closed or reused descriptor.
  std::lock_guard sendLock(impl_->sendMutex);
  impl_->closeAll();
  impl_->boundPort = 0;
}

bool Device::sendFrame(const uint8_t* image, uint32_t width, uint32_t height, uint32_t pixelFormat) {
  Impl& d = *impl_;
  std::lock_guard sendLock(d.sendMutex);
  sockaddr_in to;
  uint32_t packetSize;
  DeviceFaults faults;
  uint64_t delayNs = 0;
  {
    std::lock_guard lock(d.mutex);
    faults = d.faults;
    if (!d.running.load() || faults.vanished || d.scda == 0 || (d.scp & wire::kScpPortMask) == 0) return false;
    to = d.streamDestination(packetSize);
    delayNs = static_cast<uint64_t>(static_cast<unsigned __int128>(d.scpd) * 1'000'000'000u / d.clock->frequency());
  }
  const uint64_t size = imageBytes(width, height, pixelFormat);
  const uint32_t perPacket = wire::payloadBytesPerPacket(packetSize);
  if (image == nullptr || size == 0 || size > kMaxImageBytes || perPacket == 0) return false;
  const auto payloadPackets = static_cast<uint32_t>((size + perPacket - 1) / perPacket);
  const uint32_t trailerId = payloadPackets + 1;

  if (++d.lastBlockId == 0) d.lastBlockId = 1;  // block id 0 is never used
  const uint16_t blockId = d.lastBlockId;
  const uint64_t timestamp = d.clock->now();

  // Keep the frame for resends and decide its losses before the first packet
  // leaves, so that a quick resend request finds them settled.
  Impl::Frame* frame;
  uint64_t dropped = 0;
  {
    std::lock_guard lock(d.historyMutex);
    frame = &d.history[d.nextSlot];
    d.nextSlot = (d.nextSlot + 1) % d.history.size();
    frame->valid = true;
    frame->blockId = blockId;
    frame->image.assign(image, image + size);
    frame->width = width;
    frame->height = height;
    frame->pixelFormat = pixelFormat;
    frame->timestamp = timestamp;
    frame->dataPerPacket = perPacket;
    frame->payloadPackets = payloadPackets;
    frame->state.assign(size_t{trailerId} + 1, 0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const bool incomplete = faults.incompleteFrames > 0 && unit(d.dice) < faults.incompleteFrames;
    const uint8_t lostState = incomplete ? 2 : 1;
    if (faults.packetLoss > 0) {
      for (uint32_t id = 1; id <= payloadPackets; ++id)
        if (unit(d.dice) < faults.packetLoss) {
          frame->state[id] = lostState;
          ++dropped;
        }
    }
    if (incomplete && dropped == 0) {
      frame->state[(payloadPackets + 1) / 2] = 2;
      ++dropped;
    }
  }

  wire::ImageLeader leader;
  leader.timestamp = timestamp;
  leader.pixelFormat = pixelFormat;
  leader.width = width;
  leader.height = height;
  const size_t leaderSize = wire::writeImageLeader(d.leaderPacket, blockId, false, leader);
  const size_t trailerSize = wire::writeImageTrailer(d.trailerPacket, blockId, trailerId, false,
                                                     wire::ImageTrailer{wire::kPayloadTypeImage, height});

  size_t count = 0;
  uint64_t sent = 0;
  bool ok = true;
  const int64_t start = steadyNs();
  auto flush = [&] {
    if (count == 0) return;
    if (ok) ok = d.sendBatch(count);
    if (ok) sent += count;
    count = 0;
  };
  // Inter-packet delay: packet id k leaves no earlier than start + k * delay.
  // Packets that are due go out together; the thread sleeps in between. Call
  // before a packet's header is written into the batch (a flush reuses it).
  auto pace = [&](uint32_t id) {
    if (delayNs == 0) return;
    const int64_t due = start + static_cast<int64_t>(delayNs * id);
    if (due > steadyNs() + 100'000) {
      flush();
      if (!d.running.load())
        ok = false;  // stopped: the rest is not sent
      else
        sleepUntilNs(due);
    }
  };
  auto queue = [&](void* head, size_t headSize, const uint8_t* data, size_t dataSize) {
    iovec* iov = &d.iovs[count * 2];
    iov[0] = {head, headSize};
    iov[1] = {const_cast<uint8_t*>(data), dataSize};
    mmsghdr& m = d.msgs[count];
    m = mmsghdr{};
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof to;
    m.msg_hdr.msg_iov = iov;
    m.msg_hdr.msg_iovlen = dataSize ? 2 : 1;
    if (++count == kBatch) flush();
  };
  queue(d.leaderPacket.data(), leaderSize, nullptr, 0);
  for (uint32_t id = 1; id <= payloadPackets && ok; ++id) {
    if (frame->state[id] != 0) continue;
    pace(id);
    auto& head = d.headers[count];
    wire::writeGvspHeader(head, wire::GvspHeader{wire::GEV_STATUS_SUCCESS, blockId, wire::kFormatPayload, id, false});
    const size_t offset = size_t{id - 1} * perPacket;
    queue(head.data(), head.size(), frame->image.data() + offset, std::min<size_t>(perPacket, size - offset));
  }
  pace(trailerId);
  queue(d.trailerPacket.data(), trailerSize, nullptr, 0);
  flush();

  std::lock_guard lock(d.mutex);
  if (ok) ++d.counters.framesSent;
  d.counters.packetsSent += sent;
  d.counters.packetsDropped += dropped;
  return ok;
}

bool Device::hasController() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->controlled;
}

void Device::setFaults(const DeviceFaults& faults) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults = faults;
}

DeviceCounters Device::counters() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counters;
}

const DeviceConfig& Device::config() const { return impl_->config; }

void Device::onControlLost(std::function<void()> callback) {
  std::lock_guard lock(impl_->mutex);
  impl_->controlLostCallback = std::move(callback);
}

uint16_t Device::gvcpPort() const { return impl_->boundPort; }

void Device::handleDatagram(const uint8_t* data, size_t size, uint32_t fromIp, uint16_t fromPort) {
  if (!impl_->running.load()) return;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(fromIp);
  from.sin_port = htons(fromPort);
  impl_->handle(std::span<const uint8_t>(data, size), from, false);
}

std::string Device::userName() const {
  std::lock_guard lock(impl_->mutex);
  return wire::getText(impl_->userNameBytes.data(), impl_->userNameBytes.size());
}

}  // namespace sim::gige
