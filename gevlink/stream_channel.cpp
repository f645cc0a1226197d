#include "gevlink/stream_channel.h"

namespace gevlink {

void StreamChannel::queueBuffer(void* buffer, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(buffer);
  if (it != known.end() && it->second.first != BufferState::Delivered) return;  // already ours
  known[buffer] = {BufferState::Queued, size};
  queued.emplace_back(static_cast<uint8_t*>(buffer), size);
}

void StreamChannel::flushBuffers() {
  std::unique_lock<std::mutex> lock(mutex);
  queued.clear();
  for (Assembly& a : assemblies) a.active = false;
  known.clear();
  // The buffers are the caller's once this returns: a receive aimed at
  // them before must have ended.
  waitReceiveSettled(lock);
}

bool StreamChannel::lockBuffer(void* buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(buffer);
  if (it == known.end()) return false;
  if (it->second.first == BufferState::Queued) {
    for (auto q = queued.begin(); q != queued.end(); ++q)
      if (q->first == buffer) {
        queued.erase(q);
        break;
      }
    it->second.first = BufferState::Delivered;
  }
  return true;
}

bool StreamChannel::unlockBuffer(void* buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(buffer);
  if (it == known.end()) return false;
  if (it->second.first == BufferState::Delivered) {
    it->second.first = BufferState::Queued;
    queued.emplace_back(static_cast<uint8_t*>(buffer), it->second.second);
  }
  return true;
}

void StreamChannel::startReceiving(uint32_t packetSize) {
  std::lock_guard<std::mutex> lock(mutex);
  stride = wire::payloadBytesPerPacket(packetSize);
  lastDroppedBlock = 0;
  lastStarted = 0;
  finished.fill(0);
  running = true;
}

void StreamChannel::waitReceiveSettled(std::unique_lock<std::mutex>& lock) {
  const uint64_t calls = receiveCalls;
  settled.wait(lock, [&] { return !inReceive || receiveCalls != calls; });
}

}  // namespace gevlink
