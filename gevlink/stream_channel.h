#pragma once
// The state of one GVSP stream channel: its socket (and packet ring), the
// caller's buffers as the channel holds them, and the frames being
// assembled. The receive thread (stream_receiver) and frame assembly
// (frame_assembly) work on it under its mutex; the transport hands buffers
// in and out through the members below.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gevlink.h"
#include "gevlink/packet_ring.h"
#include "gevlink/udp_socket.h"
#include "gevlink/wire/gvsp.h"

namespace gevlink {

constexpr std::size_t kPacketSlot = 9216;  // largest jumbo packet we accept
constexpr int kInFlight = 4;               // frames assembled at once per channel
constexpr uint32_t kDefaultPacketSize = 1500;

enum class BufferState { Queued, Filling, Delivered };

// One frame being received into a caller's buffer.
struct Assembly {
  bool active = false;
  uint64_t blockId = 0;
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  GDevFrameInfo info{};
  bool leader = false, trailer = false, overrun = false;
  uint32_t dataPackets = 0;  // from the trailer, else estimated from the leader
  uint32_t highest = 0;      // highest payload packet id seen
  uint32_t received = 0;
  uint32_t requestedUpTo = 0;  // resend asked for ids up to this one
  uint32_t resendRounds = 0;
  uint32_t payloadBytes = 0;
  std::vector<uint8_t> got;  // per packet id; grows, never shrinks
  Clock::time_point started, lastPacket;
};

struct StreamChannel {
  uint32_t index = 0;
  Fd fd;
  uint16_t port = 0;
  std::mutex mutex;  // buffers and assemblies
  // The receive thread hands the kernel pointers into the buffers of active
  // assemblies (payloads land in place). While such a call is out (inReceive)
  // those buffers must not go back to the caller: whoever withdraws them
  // first makes them unaimable, then waits on `settled` for the call to end
  // (receiveCalls advances, or the thread is between calls).
  bool inReceive = false;
  uint64_t receiveCalls = 0;
  std::condition_variable settled;
  // GVSP header size of the stream (8, or 20 for extended ids): the size of
  // the header slot in front of each aimed payload.
  uint32_t headerSlot = wire::kGvspHeaderSize;
  // When set, datagrams come from this ring and the UDP socket (which keeps
  // the port) drops its copies.
  std::unique_ptr<PacketRing> ring;
  std::deque<std::pair<uint8_t*, uint32_t>> queued;
  std::unordered_map<void*, std::pair<BufferState, uint32_t>> known;  // state, size
  std::array<Assembly, kInFlight> assemblies;
  std::atomic<bool> running{false};
  bool notifyTop = false;
  uint32_t stride = wire::payloadBytesPerPacket(kDefaultPacketSize);
  uint64_t lastDroppedBlock = 0;
  // Blocks already handed out: a resent packet arriving late must not start
  // a frame again (and take a buffer for it).
  std::array<uint64_t, 32> finished{};
  std::size_t finishedNext = 0;
  uint64_t lastStarted = 0;
  std::thread thread;

  // A new buffer, or a delivered one queued again; a buffer still queued or
  // filling stays as it is.
  void queueBuffer(void* buffer, uint32_t size);
  // Withdraws every buffer; once this returns no receive call points into
  // them any more.
  void flushBuffers();
  // A delivered buffer is the caller's until it is queued or unlocked:
  // locking it is a no-op, locking a queued one takes it out of the queue.
  // False for a buffer the channel does not know.
  bool lockBuffer(void* buffer);
  // Gives a delivered buffer back: it is queued again for the next frame.
  // False for a buffer the channel does not know.
  bool unlockBuffer(void* buffer);
  // Takes packets of `packetSize` from now on, forgetting the blocks of an
  // earlier start (the device may number them anew).
  void startReceiving(uint32_t packetSize);
  // Waits until no receive call holds pointers into buffers that the caller
  // just made unaimable (`lock` holds `mutex` on entry and on return).
  void waitReceiveSettled(std::unique_lock<std::mutex>& lock);
};

}  // namespace gevlink
