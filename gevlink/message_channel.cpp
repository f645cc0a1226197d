#include "gevlink/message_channel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <span>
#include <thread>

#include "gevlink/transport_status.h"
#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvcp.h"

namespace gevlink {

using namespace wire;

namespace {

void messageLoop(Device* dev) {
  uint8_t datagram[1500];
  while (!dev->stop.load()) {
    pollfd p{dev->messageFd.get(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n =
        recvfrom(dev->messageFd.get(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    CommandHeader h;
    std::span<const uint8_t> payload;
    if (!parseCommand({datagram, std::size_t(n)}, h, payload)) continue;
    if (h.command != kEventCmd && h.command != kEventDataCmd) continue;
    if (h.flags & kFlagAckRequired) {
      Bytes ack = encodeAck(GEV_STATUS_SUCCESS, h.command == kEventCmd ? kEventAck : kEventDataAck, h.reqId);
      sendto(dev->messageFd.get(), ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
    EventRecord e;
    e.data.assign(payload.begin(), payload.end());
    if (e.data.size() > GDEV_EVENT_BUFFER_SIZE) e.data.resize(GDEV_EVENT_BUFFER_SIZE);
    std::lock_guard<std::mutex> lock(dev->eventMutex);
    if (dev->events.size() < 1024) dev->events.push_back(std::move(e));
    dev->eventReady.notify_all();
  }
}

}  // namespace

void openMessageChannel(Device& dev) {
  uint32_t messageChannels = 0;
  if (dev.control->readRegister(kRegNumberOfMessageChannels, messageChannels).ok() && messageChannels > 0 &&
      dev.messageFd.get() < 0) {
    int err = 0;
    Fd fd = udpSocket(dev.interfaceAddress, err);
    if (fd.get() >= 0 && dev.control->writeRegister(kRegMcda, ntohl(dev.interfaceAddress)).ok() &&
        dev.control->writeRegister(kRegMcp, localPort(fd.get())).ok()) {
      dev.messageFd = std::move(fd);
      dev.messages = std::thread(messageLoop, &dev);
    }
  }
}

TransportResult waitDeviceEvent(Device& dev, uint32_t timeoutMs, EventRecord& event) {
  std::unique_lock<std::mutex> lock(dev.eventMutex);
  auto ready = [&] { return dev.eventCancel || !dev.events.empty() || dev.lost.load() || dev.stop.load(); };
  if (timeoutMs == 0)
    dev.eventReady.wait(lock, ready);
  else if (!dev.eventReady.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
    return timedOut();
  if (dev.eventCancel || dev.stop.load()) {
    dev.eventCancel = false;
    return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
  }
  if (!dev.events.empty()) {
    event = std::move(dev.events.front());
    dev.events.pop_front();
    return {};
  }
  event.status = GDEV_STATUS_TIMEOUT;  // the device was lost
  event.info = ntohl(dev.address);
  return {};
}

void cancelDeviceEvent(Device& dev) {
  std::lock_guard<std::mutex> lock(dev.eventMutex);
  dev.eventCancel = true;
  dev.eventReady.notify_all();
}

}  // namespace gevlink
