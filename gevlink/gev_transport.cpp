#include "gevlink/gev_transport.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "gevlink.h"
#include "gevlink/device.h"
#include "gevlink/device_discovery.h"
#include "gevlink/frame_assembly.h"
#include "gevlink/message_channel.h"
#include "gevlink/stream_receiver.h"
#include "gevlink/transport_status.h"
#include "gevlink/wire/bootstrap.h"

namespace gevlink {
namespace {

using namespace wire;

constexpr uint32_t kTransportMinor = 1, kTransportBuild = 1;
constexpr uint32_t kMaxChannels = 512;
constexpr uint32_t kStreamKeyBase = 0x100;  // key = base + channel: never 0, never a channel number

// Keeps control: a read of the CCP register each period. A device that stops
// answering is lost: every stream and event waiter gets an error.
void heartbeatLoop(Device* dev) {
  pthread_setname_np(pthread_self(), "gevlink-beat");
  while (!dev->stop.load()) {
    for (uint32_t waited = 0; waited < dev->options->heartbeatPeriodMs && !dev->stop.load(); waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (dev->stop.load()) break;
    if (!dev->lost.load() && dev->controlling.load() && !dev->control->heartbeat()) dev->lost = true;
    if (dev->lost.load()) {
      for (auto& ch : dev->channels) {
        std::unique_lock<std::mutex> lock(ch->mutex);
        abandonFrames(*dev, *ch, lock);
      }
      {
        std::lock_guard<std::mutex> lock(dev->completionMutex);
        bool idle = dev->completions.empty();
        if (idle)
          for (auto& ch : dev->channels) {
            Completion c;
            c.channel = ch->index;
            dev->completions.emplace_back(timedOut(ntohl(dev->address)), c);
          }
        dev->completionReady.notify_all();
      }
      std::lock_guard<std::mutex> lock(dev->eventMutex);
      dev->eventReady.notify_all();
    }
  }
}

// The device table: each open device with its control channel, stream
// channels and threads, found by the id handed out at open.
class GevTransport final : public Transport {
 public:
  explicit GevTransport(const GevTransportOptions& o) : options_(o) {}
  ~GevTransport() override {
    std::vector<uint64_t> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [id, d] : devices_) ids.push_back(id);
    }
    for (uint64_t id : ids) close(id);
  }

  TransportResult enumerate(uint32_t iface, std::vector<DiscoveryAnswer>& answers) override {
    return enumerateDevices(iface, options_.discoveryTimeoutMs, answers);
  }

  TransportResult forceIp(uint32_t iface, const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway) override {
    return forceDeviceIp(iface, mac, ip, mask, gateway, options_.commandRetries, options_.commandTimeoutMs);
  }

  TransportResult open(uint32_t iface, uint32_t address, uint64_t& deviceId) override {
    int err = 0;
    Fd fd = udpSocket(iface, err);
    if (fd.get() < 0) return systemError(err);
    auto dev = std::make_shared<Device>();
    dev->interfaceAddress = iface;
    dev->address = address;
    dev->options = &options_;
    dev->control = std::make_unique<GvcpChannel>(std::move(fd), address, options_);
    uint32_t count = 0;
    TransportResult r = dev->control->readRegister(kRegNumberOfStreamChannels, count);
    if (!r.ok()) return r;
    count = std::min(count, kMaxChannels);
    for (uint32_t i = 0; i < count; ++i) {
      auto ch = openStreamChannel(iface, i, options_, err);
      if (!ch) {
        stopThreads(*dev);
        return systemError(err);
      }
      dev->channels.push_back(std::move(ch));
    }
    for (auto& ch : dev->channels) ch->thread = std::thread(receiveLoop, dev.get(), ch.get());
    dev->heartbeat = std::thread(heartbeatLoop, dev.get());
    std::lock_guard<std::mutex> lock(mutex_);
    dev->id = nextId_++;
    deviceId = dev->id;
    devices_[dev->id] = dev;
    return {};
  }

  TransportResult close(uint64_t id) override {
    std::shared_ptr<Device> dev;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = devices_.find(id);
      if (it == devices_.end()) return {GDEV_STATUS_INVALID_HANDLE, 0, 0};
      dev = it->second;
      devices_.erase(it);
    }
    for (auto& ch : dev->channels) stopChannel(*dev, *ch);
    stopThreads(*dev);
    return {};
  }

  TransportResult takeControl(uint64_t id, uint32_t privilege) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    TransportResult r = dev->control->writeRegister(kRegCcp, privilege);
    if (!r.ok()) return r;
    dev->controlling = true;
    // Event messages come to a socket of ours when the device has a message channel.
    openMessageChannel(*dev);
    return {};
  }

  TransportResult releaseControl(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    dev->controlling = false;
    if (dev->lost.load()) return {};
    return dev->control->writeRegister(kRegCcp, 0);
  }

  TransportResult readMemory(uint64_t id, uint32_t address, void* out, uint32_t length) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->readMemory(address, out, length);
  }

  TransportResult writeMemory(uint64_t id, uint32_t address, const void* data, uint32_t length,
                              uint32_t& written) override {
    written = 0;
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->writeMemory(address, data, length, written);
  }

  TransportResult readRegisters(uint64_t id, const uint32_t* addresses, uint32_t* values, uint32_t count) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->readRegisters(addresses, values, count);
  }

  TransportResult writeRegisters(uint64_t id, const uint32_t* pairs, uint32_t count, uint32_t& written) override {
    written = 0;
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->writeRegisters(pairs, count, written);
  }

  TransportResult listStreams(uint64_t id, std::vector<std::pair<uint32_t, uint32_t>>& streams) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    for (auto& ch : dev->channels) streams.emplace_back(kStreamKeyBase + ch->index, ch->index);
    return {};
  }

  TransportResult queueBuffer(uint64_t id, uint32_t channel, void* buffer, uint32_t size) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    if (size <= GDEV_FRAME_DATA_OFFSET) return badArgument(size);
    ch->queueBuffer(buffer, size);
    return {};
  }

  TransportResult flushBuffers(uint64_t id, uint32_t channel) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    ch->flushBuffers();
    return {};
  }

  TransportResult startStream(uint64_t id, uint32_t channel, uint32_t /*parameter*/) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    GvcpChannel& control = *dev->control;
    uint32_t base = channel * kStreamChannelStride;
    uint32_t scps = 0;
    TransportResult r = control.readRegister(kRegScps0 + base, scps);
    if (!r.ok()) return r;
    uint32_t packetSize = scps & kScpsPacketSizeMask;
    if (packetSize < 576 || packetSize > kPacketSlot) packetSize = kDefaultPacketSize;
    r = control.writeRegister(kRegScps0 + base, packetSize);
    if (!r.ok()) return r;
    r = control.writeRegister(kRegScda0 + base, ntohl(dev->interfaceAddress));
    if (!r.ok()) return r;
    ch->startReceiving(packetSize);
    r = control.writeRegister(kRegScp0 + base, ch->port);
    if (!r.ok()) ch->running = false;
    return r;
  }

  TransportResult stopStream(uint64_t id, uint32_t channel) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return stopChannel(*dev, *ch);
  }

  TransportResult setFrameTopNotify(uint64_t id, uint32_t channel, uint32_t setting) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    std::lock_guard<std::mutex> lock(ch->mutex);
    ch->notifyTop = setting != 0;
    return {};
  }

  TransportResult waitCompletion(uint64_t id, uint32_t timeoutMs, Completion& c) override {
    auto dev = find(id);
    if (!dev) return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
    std::unique_lock<std::mutex> lock(dev->completionMutex);
    dev->completionReady.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return dev->ended.load() || !dev->completions.empty(); });
    if (dev->ended.load()) return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
    if (dev->completions.empty()) return {GDEV_STATUS_EXTENDED_ERROR, 0, 0};
    auto [r, completion] = dev->completions.front();
    dev->completions.pop_front();
    c = completion;
    return r;
  }

  TransportResult endStreaming(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    for (auto& ch : dev->channels) stopChannel(*dev, *ch);
    std::lock_guard<std::mutex> lock(dev->completionMutex);
    dev->ended = true;
    dev->completionReady.notify_all();
    return {};
  }

  TransportResult waitEvent(uint64_t id, uint32_t timeoutMs, EventRecord& event) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return waitDeviceEvent(*dev, timeoutMs, event);
  }

  TransportResult cancelEvent(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    cancelDeviceEvent(*dev);
    return {};
  }

  TransportResult lockBuffer(uint64_t id, uint32_t channel, void* buffer) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return ch->lockBuffer(buffer) ? TransportResult{} : badArgument();
  }

  TransportResult unlockBuffer(uint64_t id, uint32_t channel, void* buffer) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return ch->unlockBuffer(buffer) ? TransportResult{} : badArgument();
  }

  TransportResult reAcquisition(uint64_t id, uint32_t channel, uint32_t, uint32_t) override {
    StreamChannel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return startStream(id, channel, 0);
  }

  // The device's heartbeat time-out in ms.
  TransportResult getParam(uint64_t id, uint32_t& value) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->readRegister(kRegHeartbeatTimeout, value);
  }

  void version(uint32_t& minor, uint32_t& build) override {
    minor = kTransportMinor;
    build = kTransportBuild;
  }

 private:
  static TransportResult badHandle() { return {GDEV_STATUS_INVALID_HANDLE, 0, 0}; }

  std::shared_ptr<Device> find(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Device> findChannel(uint64_t id, uint32_t channel, StreamChannel*& ch) {
    auto dev = find(id);
    if (!dev || channel >= dev->channels.size()) return nullptr;
    ch = dev->channels[channel].get();
    return dev;
  }

  TransportResult stopChannel(Device& dev, StreamChannel& ch) {
    if (!ch.running.exchange(false)) return {};
    if (dev.lost.load()) return {};
    // Port 0 ends the device's streaming on this channel.
    return dev.control->writeRegister(kRegScp0 + ch.index * kStreamChannelStride, 0);
  }

  void stopThreads(Device& dev) {
    dev.stop = true;
    {
      std::lock_guard<std::mutex> lock(dev.eventMutex);
      dev.eventReady.notify_all();
    }
    {
      std::lock_guard<std::mutex> lock(dev.completionMutex);
      dev.ended = true;
      dev.completionReady.notify_all();
    }
    for (auto& ch : dev.channels)
      if (ch->thread.joinable()) ch->thread.join();
    if (dev.heartbeat.joinable()) dev.heartbeat.join();
    if (dev.messages.joinable()) dev.messages.join();
  }

  GevTransportOptions options_;
  std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<Device>> devices_;
  uint64_t nextId_ = 0x1000;
};

}  // namespace

std::unique_ptr<Transport> makeGevTransport(const GevTransportOptions& options) {
  return std::make_unique<GevTransport>(options);
}

std::unique_ptr<Transport> makeGevTransport() {
  GevTransportOptions options;
  return makeGevTransport(options);
}

}  // namespace gevlink
