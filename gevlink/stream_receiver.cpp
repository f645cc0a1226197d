#include "gevlink/stream_receiver.h"

#include <linux/filter.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "gevlink/frame_assembly.h"

namespace gevlink {

using namespace wire;

namespace {

constexpr int kBatch = 64;             // datagrams per recvmmsg
constexpr uint32_t kRingChannels = 4;  // channels of a device that may receive through a packet ring

// The receive buffers of one channel: up to kBatch datagrams per recvmmsg.
// A message aimed at a frame gets its GVSP header in a small slot of its own
// and its payload straight at the place of the packet id expected then
// (packets come in order nearly always), so the kernel's copy is the only
// one. Any other message goes whole into its scratch slot.
struct ReceiveBatch {
  struct Aim {
    uint8_t* at = nullptr;  // null: the whole datagram goes to scratch
    uint32_t length = 0;    // room at `at` (the packet's share of the buffer)
    uint32_t headerSize = 0;
    uint64_t blockId = 0;
    uint32_t packetId = 0;
  };
  std::vector<uint8_t> scratch = std::vector<uint8_t>(std::size_t(kBatch) * kPacketSlot);
  std::array<std::array<uint8_t, kGvspExtendedHeaderSize>, kBatch> headers{};
  std::array<std::array<iovec, 3>, kBatch> iov{};
  std::array<mmsghdr, kBatch> msgs{};
  std::array<Aim, kBatch> aims{};
  // What each received message turned out to be.
  std::array<GvspHeader, kBatch> parsed{};
  std::array<std::span<const uint8_t>, kBatch> payloads{};
  std::array<bool, kBatch> valid{}, truncated{};

  uint8_t* slot(int k) { return scratch.data() + std::size_t(k) * kPacketSlot; }
  void toScratch(int k) {
    aims[k] = {};
    iov[k][0] = {slot(k), kPacketSlot};
    msgs[k].msg_hdr.msg_iov = iov[k].data();
    msgs[k].msg_hdr.msg_iovlen = 1;
  }
  // Header slot, then the payload's place; a datagram longer than the place
  // runs on into the scratch slot behind, so nothing of it is cut off: a
  // short last packet's place may receive another, longer packet. Behind a
  // whole stride only a packet too large for the stream fits (an overrun
  // whatever else it carries), so that tail is left off: MSG_TRUNC tells.
  void toFrame(int k, const Assembly& a, uint32_t packetId, uint8_t* at, uint32_t length, uint32_t headerSize,
               bool wholeStride) {
    aims[k] = {at, length, headerSize, a.blockId, packetId};
    iov[k][0] = {headers[k].data(), headerSize};
    iov[k][1] = {at, length};
    iov[k][2] = {slot(k) + headerSize + length, kPacketSlot - headerSize - length};
    msgs[k].msg_hdr.msg_iov = iov[k].data();
    msgs[k].msg_hdr.msg_iovlen = wholeStride ? 2 : 3;
  }
};

// Aims the next receive: the payloads of the newest frame's next packet ids
// into its buffer; after its last data packet, its trailer and the next
// frame's leader into scratch, where the batch then ends so that the next
// one aims into the new frame. Returns the number of messages to receive.
int aimBatch(Device& dev, StreamChannel& ch, ReceiveBatch& b) {
  Assembly* a = nullptr;
  bool newestDone = false;
  if (ch.running.load() && !dev.lost.load() && ch.stride && ch.lastStarted) {
    for (Assembly& x : ch.assemblies)
      if (x.active && x.blockId == ch.lastStarted) a = &x;
    if (!a)
      for (uint64_t done : ch.finished) newestDone = newestDone || done == ch.lastStarted;
  }
  if (!a) {
    // Between frames the next datagram is most likely a leader: take it
    // alone, so that the packets behind it land in its frame.
    int count = newestDone && !ch.queued.empty() ? 1 : kBatch;
    for (int k = 0; k < count; ++k) b.toScratch(k);
    return count;
  }
  const uint32_t capacity = a->size - GDEV_FRAME_DATA_OFFSET;
  const uint32_t last = a->dataPackets ? a->dataPackets : UINT32_MAX;
  const uint32_t headerSize = ch.headerSlot;
  int k = 0;
  for (uint32_t id = a->highest + 1; k < kBatch && id <= last; ++id, ++k) {
    uint64_t offset = uint64_t(id - 1) * ch.stride;
    if (offset >= capacity) break;
    uint32_t room = uint32_t(std::min<uint64_t>(ch.stride, capacity - offset));
    b.toFrame(k, *a, id, a->buffer + GDEV_FRAME_DATA_OFFSET + offset, room, headerSize, room == ch.stride);
  }
  if (k == kBatch) return k;
  for (int end = std::min(kBatch, k + 2); k < end; ++k) b.toScratch(k);
  return k;
}

// Sorts out what message k brought before any payload moves: a packet that
// came where it was aimed stays there; any other is gathered whole into its
// scratch slot (its bytes may lie in a place another packet of this batch
// will be written to).
void settleMessage(StreamChannel& ch, ReceiveBatch& b, int k) {
  b.valid[k] = false;
  const ReceiveBatch::Aim& aim = b.aims[k];
  const uint32_t length = b.msgs[k].msg_len;
  b.truncated[k] = (b.msgs[k].msg_hdr.msg_flags & MSG_TRUNC) != 0;
  uint8_t* slot = b.slot(k);
  if (aim.at) {
    const uint32_t headerSize = aim.headerSize;
    const uint8_t* header = b.headers[k].data();
    GvspHeader h;
    std::span<const uint8_t> rest;
    if (length >= headerSize && length - headerSize <= aim.length && parseGvspHeader({header, headerSize}, h, rest) &&
        rest.empty() && h.format == kFormatPayload && h.blockId == aim.blockId && h.packetId == aim.packetId) {
      b.parsed[k] = h;
      b.payloads[k] = {aim.at, length - headerSize};
      b.valid[k] = true;
      return;
    }
    // Not the packet expected: make it whole in scratch (its tail beyond the
    // aimed place is there already).
    std::memcpy(slot, header, std::min(length, headerSize));
    if (length > headerSize) std::memcpy(slot + headerSize, aim.at, std::min(length - headerSize, aim.length));
  }
  std::span<const uint8_t> payload;
  if (!parseGvspHeader({slot, std::min<std::size_t>(length, kPacketSlot)}, b.parsed[k], payload)) return;
  b.payloads[k] = payload;
  b.valid[k] = true;
  // The stream's header size, for the slots of later receives.
  ch.headerSlot = uint32_t(b.parsed[k].extendedId ? kGvspExtendedHeaderSize : kGvspHeaderSize);
}

// Receives from the channel's packet ring: the kernel has copied each
// datagram there already, so a payload is copied once, ring to frame, and
// the thread makes a system call only when no block is ready.
void ringLoop(Device* dev, StreamChannel* ch) {
  const GevTransportOptions& o = *dev->options;
  PacketRing& ring = *ch->ring;
  std::unique_lock<std::mutex> lock(ch->mutex);
  while (!dev->stop.load()) {
    lock.unlock();
    bool ready = ring.waitBlock(10);  // ms: quiet frames time out and stop is seen
    Clock::time_point now = Clock::now();
    lock.lock();
    const bool running = ch->running.load();
    for (; ready; ready = ring.waitBlock(0)) {
      std::span<const uint8_t> datagram, payload;
      bool truncated = false;
      GvspHeader h;
      while (ring.next(datagram, truncated))
        if (running && parseGvspHeader(datagram, h, payload)) handlePacket(*dev, *ch, h, payload, truncated, now);
    }
    checkTimeouts(*dev, *ch, o, now);
  }
}

}  // namespace

std::unique_ptr<StreamChannel> openStreamChannel(uint32_t iface, uint32_t index, const GevTransportOptions& options,
                                                 int& err) {
  auto ch = std::make_unique<StreamChannel>();
  ch->index = index;
  ch->fd = udpSocket(iface, err);
  if (ch->fd.get() < 0) return nullptr;
  int size = options.socketBufferBytes;
  // FORCE passes the system's limit when we may; else the plain request.
  if (setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ch->port = localPort(ch->fd.get());
  // A ring takes its memory up front (socketBufferBytes, locked where
  // allowed): only the first channels get one.
  if (options.packetRing && index < kRingChannels) {
    ch->ring = PacketRing::open(iface, ch->port, std::size_t(options.socketBufferBytes), nullptr);
    sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
    sock_fprog program{1, &dropAll};
    if (ch->ring && setsockopt(ch->fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
      ch->ring.reset();
  }
  return ch;
}

void receiveLoop(Device* dev, StreamChannel* ch) {
  pthread_setname_np(pthread_self(), "gevlink-gvsp");
  if (ch->ring) {
    ringLoop(dev, ch);
    return;
  }
  auto batch = std::make_unique<ReceiveBatch>();
  ReceiveBatch& b = *batch;
  const GevTransportOptions& o = *dev->options;
  // One call per wake-up: block for the first datagram (at most 10 ms, so
  // that quiet frames time out and stop is seen), then take what is queued.
  timeval wake{0, 10000};
  setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  std::unique_lock<std::mutex> lock(ch->mutex);
  while (!dev->stop.load()) {
    int count = aimBatch(*dev, *ch, b);
    ch->inReceive = true;
    lock.unlock();
    int n = recvmmsg(ch->fd.get(), b.msgs.data(), unsigned(count), MSG_WAITFORONE, nullptr);
    if (n < 0) n = 0;
    Clock::time_point now = Clock::now();
    lock.lock();
    ch->inReceive = false;
    ++ch->receiveCalls;
    ch->settled.notify_all();
    if (ch->running.load()) {
      for (int k = 0; k < n; ++k) settleMessage(*ch, b, k);
      for (int k = 0; k < n; ++k)
        if (b.valid[k]) handlePacket(*dev, *ch, b.parsed[k], b.payloads[k], b.truncated[k], now);
    }
    checkTimeouts(*dev, *ch, o, now);
    // A short batch means we are ahead of the stream: let ~20 packets of a
    // 1 Gbit/s stream gather (250 us) instead of waking once per packet.
    // The socket buffer holds several MiB, so nothing is lost meanwhile.
    if (n > 0 && n < count / 4) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(250));
      lock.lock();
    }
  }
  ch->inReceive = false;
  ch->settled.notify_all();
}

}  // namespace gevlink
